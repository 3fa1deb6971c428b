#include "control/json_text.h"

#include "control/text_conversion.h"

namespace linvo::control {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kBytesKey = "bytes";

// The serializer checks UTF-8 (overlong forms and surrogates are invalid, as they are to the
// parser), so a text it accepts reads back from the JSON as the same bytes.
bool ValidUtf8(std::string_view text) {
  try {
    (void)json(std::string(text)).dump();
    return true;
  } catch (const json::type_error&) {
    return false;
  }
}

// Bytes of an even-length hexadecimal text, or nothing.
std::optional<std::string> FromHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (const char c : {hex[i], hex[i + 1]}) {
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

json TextToJson(std::string_view bytes) {
  if (ValidUtf8(bytes)) return std::string(bytes);
  json form = json::object();
  form[kBytesKey] = CharAscHConv(0, bytes);
  return form;
}

std::optional<std::string> TextFromJson(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_object() || value.size() != 1) return std::nullopt;
  const auto hex = value.find(kBytesKey);
  if (hex == value.end() || !hex->is_string()) return std::nullopt;
  return FromHex(hex->get_ref<const std::string&>());
}

}  // namespace linvo::control
