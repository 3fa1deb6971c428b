#include "control/json_property_bag.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "control/text_conversion.h"
#include "platform/file_io.h"

namespace linvo::control {
namespace {

// Keys keep the order in which they were written: the exchange order.
using json = nlohmann::ordered_json;

constexpr const char* kBytesKey = "bytes";

bool ValidUtf8(std::string_view text) {
  try {
    (void)json(std::string(text)).dump();
    return true;
  } catch (const json::type_error&) {
    return false;
  }
}

// Bytes of an even-length hexadecimal text, or nullopt.
std::optional<std::string> FromHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (char c : {hex[i], hex[i + 1]}) {
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    out.push_back(static_cast<char>(value));
  }
  return out;
}

}  // namespace

struct JsonPropertyBag::Store {
  json values = json::object();

  const json* Find(std::string_view name) const {
    const auto it = values.find(std::string(name));
    return it == values.end() ? nullptr : &*it;
  }
};

JsonPropertyBag::JsonPropertyBag() : m_store(std::make_unique<Store>()) {}
JsonPropertyBag::~JsonPropertyBag() = default;

bool JsonPropertyBag::LoadText(std::string_view text, std::string* error) {
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    if (error) *error = "not JSON text";
    return false;
  }
  if (!parsed.is_object()) {
    if (error) *error = "not a JSON object";
    return false;
  }
  m_store->values = std::move(parsed);
  return true;
}

bool JsonPropertyBag::LoadFile(const std::string& path, std::string* error) {
  const std::optional<std::string> text = platform::ReadWholeFile(path, kMaxFileBytes, error);
  if (!text) return false;
  if (!LoadText(*text, error)) {
    if (error) *error = path + ": " + *error;
    return false;
  }
  return true;
}

std::string JsonPropertyBag::Text() const { return m_store->values.dump(2) + "\n"; }

bool JsonPropertyBag::SaveFile(const std::string& path, std::string* error) const {
  return platform::ReplaceWholeFile(path, Text(), error);
}

int32_t JsonPropertyBag::ReadLong(std::string_view name, int32_t defaultValue) {
  const json* v = m_store->Find(name);
  if (v == nullptr || !v->is_number_integer()) return defaultValue;
  if (v->is_number_unsigned()) {
    const auto u = v->get<uint64_t>();
    return u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? static_cast<int32_t>(u)
                                                                           : defaultValue;
  }
  const auto i = v->get<int64_t>();
  if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max()) {
    return defaultValue;
  }
  return static_cast<int32_t>(i);
}

BOOL JsonPropertyBag::ReadBool(std::string_view name, BOOL defaultValue) {
  const json* v = m_store->Find(name);
  if (v == nullptr || !v->is_boolean()) return defaultValue;
  return v->get<bool>() ? TRUE : FALSE;
}

std::string JsonPropertyBag::ReadText(std::string_view name, std::string_view defaultValue) {
  const json* v = m_store->Find(name);
  std::optional<std::string> text;
  if (v != nullptr && v->is_string()) {
    text = v->get<std::string>();
  } else if (v != nullptr && v->is_object() && v->size() == 1 && v->contains(kBytesKey) &&
             (*v)[kBytesKey].is_string()) {
    text = FromHex((*v)[kBytesKey].get<std::string>());
  }
  if (!text || text->size() > kMaxText) return std::string(defaultValue);
  return *text;
}

void JsonPropertyBag::WriteLong(std::string_view name, int32_t value) {
  m_store->values[std::string(name)] = value;
}

void JsonPropertyBag::WriteBool(std::string_view name, BOOL value) {
  m_store->values[std::string(name)] = value != FALSE;
}

void JsonPropertyBag::WriteText(std::string_view name, std::string_view value) {
  if (ValidUtf8(value)) {
    m_store->values[std::string(name)] = std::string(value);
  } else {
    m_store->values[std::string(name)] = json{{kBytesKey, CharAscHConv(0, value)}};
  }
}

}  // namespace linvo::control
