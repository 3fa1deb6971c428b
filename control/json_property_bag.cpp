#include "control/json_property_bag.h"

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "control/json_text.h"
#include "platform/file_io.h"

namespace linvo::control {
namespace {

using json = nlohmann::ordered_json;

// A discarded value stands for a name that reads as its default and is left out of the text.
json Dropped() { return json(json::value_t::discarded); }

// The names in the order they were first written or loaded (the exchange order), each with a
// number, a boolean, a string, the bytes form or Dropped(). Lookups go through a tree, so that
// no choice of names in a file makes loading it slow.
class Values {
 public:
  const json* Find(std::string_view name) const {
    const auto it = m_positions.find(name);
    if (it == m_positions.end()) return nullptr;
    const json& value = m_entries[it->second].second;
    return value.is_discarded() ? nullptr : &value;
  }

  // A name written again keeps its place.
  void Set(std::string_view name, json value) {
    const auto it = m_positions.find(name);
    if (it != m_positions.end()) {
      m_entries[it->second].second = std::move(value);
      return;
    }
    m_positions.emplace(std::string(name), m_entries.size());
    m_entries.emplace_back(std::string(name), std::move(value));
  }

  const std::vector<std::pair<std::string, json>>& Entries() const { return m_entries; }

 private:
  std::vector<std::pair<std::string, json>> m_entries;
  std::map<std::string, std::size_t, std::less<>> m_positions;
};

// Takes the parser's events and keeps under each name of the top object only what a property
// can be: a number, a boolean, a string or the bytes form. Any other value (null, an array,
// another object, anything nested deeper) is skipped as it is read, so no structure of the
// file is ever held, and its name reads as its default. The parser itself keeps one bit per
// level of nesting.
class Loader final : public nlohmann::json_sax<json> {
 public:
  explicit Loader(Values& values) : m_values(values) {}

  bool TopIsObject() const { return m_topIsObject; }

  bool null() override { return Value(Dropped()); }
  bool boolean(bool value) override { return Value(value); }
  bool number_integer(number_integer_t value) override { return Value(value); }
  bool number_unsigned(number_unsigned_t value) override { return Value(value); }
  bool number_float(number_float_t value, const string_t& /*text*/) override {
    return Value(value);
  }
  bool string(string_t& value) override { return Value(std::move(value)); }
  bool binary(binary_t& /*value*/) override { return Value(Dropped()); }  // not in JSON text

  bool start_object(std::size_t /*size*/) override { return Open(true); }
  bool start_array(std::size_t /*size*/) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& key) override {
    if (m_depth == 1) {
      m_name = std::move(key);
    } else if (m_depth == 2) {
      m_formOk = m_formOk && m_form.is_null() && key == "bytes";
    }
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  bool Value(json value) {
    // A number out of the double range reads as infinity, which has no JSON form.
    if (value.is_number_float() && !std::isfinite(value.get<double>())) value = Dropped();
    if (m_depth == 1 && m_topIsObject) {
      m_values.Set(m_name, std::move(value));
    } else if (m_depth == 2) {
      m_formOk = m_formOk && value.is_string();
      if (m_formOk) m_form = json::object({{"bytes", std::move(value)}});
    }
    return true;
  }

  bool Open(bool object) {
    if (m_depth == 0) {
      m_topIsObject = object;
    } else if (m_depth == 1) {  // a value under a name: only the bytes form can count
      m_formOk = object;
      m_form = nullptr;
    } else {
      m_formOk = false;
    }
    ++m_depth;
    return true;
  }

  bool Close() {
    --m_depth;
    if (m_depth == 1 && m_topIsObject) {
      const bool form = m_formOk && m_form.is_object() && TextFromJson(m_form).has_value();
      m_values.Set(m_name, form ? std::move(m_form) : Dropped());
      m_form = nullptr;
    }
    return true;
  }

  Values& m_values;
  std::size_t m_depth = 0;  // containers open
  bool m_topIsObject = false;
  std::string m_name;     // the name of the top object's value being read
  bool m_formOk = false;  // the value under m_name is, so far, the bytes form
  json m_form;            // that form once its member came
};

// A value as it stands in the two-space indented object: an object's lines go two further in.
std::string Indented(const json& value) {
  std::string text = value.dump(2);
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 3)) {
    text.insert(at + 1, "  ");
  }
  return text;
}

}  // namespace

struct JsonPropertyBag::Store {
  Values values;
};

JsonPropertyBag::JsonPropertyBag() : m_store(std::make_unique<Store>()) {}
JsonPropertyBag::~JsonPropertyBag() = default;

bool JsonPropertyBag::LoadText(std::string_view text, std::string* error) {
  auto store = std::make_unique<Store>();
  Loader loader(store->values);
  if (!json::sax_parse(text, &loader)) {
    if (error) *error = "not JSON text";
    return false;
  }
  if (!loader.TopIsObject()) {
    if (error) *error = "not a JSON object";
    return false;
  }
  m_store = std::move(store);
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

std::string JsonPropertyBag::Text() const {
  std::string text = "{";
  const char* separator = "\n  ";
  for (const auto& [name, value] : m_store->values.Entries()) {
    if (value.is_discarded()) continue;
    // Names are the program's own; one that is not UTF-8 cannot stop the save.
    text += separator + json(name).dump(-1, ' ', false, json::error_handler_t::replace) + ": " +
            Indented(value);
    separator = ",\n  ";
  }
  text += text.size() == 1 ? "}\n" : "\n}\n";
  return text;
}

bool JsonPropertyBag::SaveFile(const std::string& path, std::string* error) const {
  return platform::ReplaceWholeFile(path, Text(), error);
}

int32_t JsonPropertyBag::ReadLong(std::string_view name, int32_t defaultValue) {
  const json* v = m_store->values.Find(name);
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
  const json* v = m_store->values.Find(name);
  if (v == nullptr || !v->is_boolean()) return defaultValue;
  return v->get<bool>() ? TRUE : FALSE;
}

std::string JsonPropertyBag::ReadText(std::string_view name, std::string_view defaultValue) {
  const json* v = m_store->values.Find(name);
  const std::optional<std::string> text = v ? TextFromJson(*v) : std::nullopt;
  if (!text || text->size() > kMaxText) return std::string(defaultValue);
  return *text;
}

void JsonPropertyBag::WriteLong(std::string_view name, int32_t value) {
  m_store->values.Set(name, value);
}

void JsonPropertyBag::WriteBool(std::string_view name, BOOL value) {
  m_store->values.Set(name, value != FALSE);
}

void JsonPropertyBag::WriteText(std::string_view name, std::string_view value) {
  m_store->values.Set(name, TextToJson(value));
}

}  // namespace linvo::control
