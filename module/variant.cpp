#include "module/variant.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace linvo::module {
namespace {

using control::VarType;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// A decimal number: optional sign, digits with an optional fraction and exponent, surrounding
// blanks allowed. No hexadecimal, infinities or NaNs.
std::optional<double> ParseNumber(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() ||
      !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.')) {
    return std::nullopt;
  }
  double value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error == std::errc::invalid_argument || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (error == std::errc::result_out_of_range) value = std::numeric_limits<double>::infinity();
  return negative ? -value : value;
}

Status Mismatch(const Variant& in, const char* what) {
  return Fail(LVO_E_TYPEMISMATCH, "type mismatch: " + Describe(in) + " is not " + what);
}

Status ToLong(const Variant& in, int32_t* out) {
  double number = 0;
  switch (in.type) {
    case Variant::Type::kEmpty:
      *out = 0;
      return {};
    case Variant::Type::kBool:
      *out = in.number != 0 ? -1 : 0;
      return {};
    case Variant::Type::kLong:
      number = static_cast<double>(in.number);
      break;
    case Variant::Type::kText: {
      const std::optional<double> parsed = ParseNumber(in.text);
      if (!parsed) return Mismatch(in, "a number");
      number = std::nearbyint(*parsed);  // the default rounding: half to even
      break;
    }
  }
  if (!(number >= std::numeric_limits<int32_t>::min() &&
        number <= std::numeric_limits<int32_t>::max())) {
    return Fail(LVO_E_OVERFLOW, "overflow: " + Describe(in) + " is outside the 32-bit range");
  }
  *out = static_cast<int32_t>(number);
  return {};
}

Status ToBool(const Variant& in, bool* out) {
  switch (in.type) {
    case Variant::Type::kEmpty:
      *out = false;
      return {};
    case Variant::Type::kLong:
    case Variant::Type::kBool:
      *out = in.number != 0;
      return {};
    case Variant::Type::kText:
      break;
  }
  const std::string_view text = Trim(in.text);
  if (platform::EqualsNoCase(text, "true") || platform::EqualsNoCase(text, "false")) {
    *out = platform::EqualsNoCase(text, "true");
    return {};
  }
  const std::optional<double> parsed = ParseNumber(text);
  if (!parsed) return Mismatch(in, "a boolean");
  *out = *parsed != 0;
  return {};
}

std::string ToText(const Variant& in) {
  switch (in.type) {
    case Variant::Type::kLong:
      return std::to_string(in.number);
    case Variant::Type::kBool:
      return in.number != 0 ? "-1" : "0";
    case Variant::Type::kText:
      return in.text;
    case Variant::Type::kEmpty:
      break;
  }
  return {};
}

}  // namespace

Status Coerce(const Variant& in, VarType type, control::Value* out) {
  switch (type) {
    case VarType::kLong: {
      int32_t value = 0;
      Status status = ToLong(in, &value);
      if (status.ok()) *out = value;
      return status;
    }
    case VarType::kBool: {
      bool value = false;
      Status status = ToBool(in, &value);
      if (status.ok()) *out = value;
      return status;
    }
    case VarType::kText:
      *out = ToText(in);
      return {};
    case VarType::kVoid:
      break;
  }
  *out = std::monostate{};
  return {};
}

Variant FromValue(const control::Value& value) {
  switch (control::TypeOf(value)) {
    case VarType::kLong:
      return Variant::Long(std::get<int32_t>(value));
    case VarType::kBool:
      return Variant::Bool(std::get<bool>(value));
    case VarType::kText:
      return Variant::Text(std::get<std::string>(value));
    case VarType::kVoid:
      break;
  }
  return {};
}

std::string Describe(const Variant& value) {
  switch (value.type) {
    case Variant::Type::kLong:
      return "long " + std::to_string(value.number);
    case Variant::Type::kBool:
      return value.number != 0 ? "boolean true" : "boolean false";
    case Variant::Type::kText:
      return "text " + Quoted(value.text, '"');
    case Variant::Type::kEmpty:
      break;
  }
  return "empty";
}

}  // namespace linvo::module
