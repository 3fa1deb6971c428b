// The values hosts pass and receive (the automation variant: empty, long, BOOL, text) and their
// conversion to and from the control's interface types.
#pragma once

#include <cstdint>
#include <string>

#include "control/value.h"
#include "linvo/linvo.h"
#include "module/status.h"

namespace linvo::module {

struct Variant {
  enum class Type : int32_t {
    kEmpty = LVO_EMPTY,
    kLong = LVO_LONG,
    kBool = LVO_BOOL,
    kText = LVO_TEXT,
  };

  Type type = Type::kEmpty;
  int64_t number = 0;  // kLong; kBool: -1 (true) or 0 as a host sees it
  std::string text;    // kText: bytes, passed unchanged

  static Variant Long(int64_t value) { return {Type::kLong, value, {}}; }
  static Variant Bool(bool value) { return {Type::kBool, value ? -1 : 0, {}}; }
  static Variant Text(std::string value) { return {Type::kText, 0, std::move(value)}; }

  friend bool operator==(const Variant&, const Variant&) = default;
};

// Converts a host's value to an interface type as the automation layer's type change does:
// text to long parses a decimal number (surrounding blanks allowed, a fraction rounded half to
// even), a number becomes its decimal text, a boolean is -1/0 as a number, text "True"/"False"
// (any case) or a number becomes a boolean (nonzero is true), empty becomes 0, false or "".
// Fails with LVO_E_TYPEMISMATCH (text that is no number) or LVO_E_OVERFLOW (a number outside
// 32 bits); the message says what could not be converted.
Status Coerce(const Variant& in, control::VarType type, control::Value* out);

// The value a host receives for an interface value (a method without result gives empty).
Variant FromValue(const control::Value& value);

// "long 12", "text \"abc\"": a value as error messages show it (text quoted by Quoted).
std::string Describe(const Variant& value);

}  // namespace linvo::module
