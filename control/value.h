// The values that cross the control's interface: what a property holds or a method takes and
// returns.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace linvo::control {

// The interface types: long (32-bit signed), VARIANT_BOOL, BSTR (narrow byte text) and no value
// (the result of a method that returns nothing).
enum class VarType : uint8_t { kVoid, kLong, kBool, kText };

// One value of an interface type, in the order of VarType: monostate for kVoid, int32_t for
// kLong, bool for kBool, std::string for kText.
using Value = std::variant<std::monostate, int32_t, bool, std::string>;

// The interface type a value holds.
inline VarType TypeOf(const Value& value) { return static_cast<VarType>(value.index()); }

// The control holds VARIANT_BOOL properties as 32-bit BOOLs in which TRUE is 1.
using BOOL = int32_t;
// The Windows headers define TRUE and FALSE as macros (1 and 0); they are set aside here so that
// these constants can be declared whichever is included first.
#pragma push_macro("TRUE")
#pragma push_macro("FALSE")
#undef TRUE
#undef FALSE
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
#pragma pop_macro("FALSE")
#pragma pop_macro("TRUE")

}  // namespace linvo::control
