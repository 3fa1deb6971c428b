#include "module/win/com_variant.h"

#include <new>

namespace linvo::module::com {
namespace {

using control::VarType;

VARTYPE TargetType(VarType type) {
  switch (type) {
    case VarType::kLong:
      return VT_I4;
    case VarType::kBool:
      return VT_BOOL;
    case VarType::kText:
      return VT_BSTR;
    case VarType::kVoid:
      break;
  }
  return VT_EMPTY;
}

const char* TypeName(VarType type) {
  switch (type) {
    case VarType::kLong:
      return "a long";
    case VarType::kBool:
      return "a boolean";
    case VarType::kText:
      return "a text";
    case VarType::kVoid:
      break;
  }
  return "empty";
}

// How an error message shows a host's value: its type and, where it has one, its text.
std::string Describe(const VARIANT& in) {
  ScopedVariant text;
  const VARTYPE vt = V_VT(&in) & ~VT_BYREF;
  const char* name = nullptr;
  switch (vt) {
    case VT_BSTR:
      name = "text";
      break;
    case VT_NULL:
      return "Null";
    case VT_EMPTY:
      return "empty";
    case VT_BOOL:
      name = "boolean";
      break;
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
      name = "number";
      break;
    case VT_DATE:
      name = "date";
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return "an object";
    case VT_ERROR:
      return "an error value";
    default:
      if (vt & VT_ARRAY) return "an array";
      name = "number";
      break;
  }
  if (FAILED(VariantChangeTypeEx(&text.v, const_cast<VARIANT*>(&in), LOCALE_USER_DEFAULT, 0, VT_BSTR))) return name;
  const std::string shown = NarrowText(V_BSTR(&text.v));
  return std::string(name) + " " + (vt == VT_BSTR ? Quoted(shown, '"') : shown);
}

}  // namespace

std::string NarrowText(const wchar_t* text, std::size_t length) {
  if (text == nullptr || length == 0) return {};
  const int wide = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) throw std::bad_alloc();
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, wide, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

std::string NarrowText(BSTR text) { return NarrowText(text, text ? SysStringLen(text) : 0); }

BSTR AllocBstr(std::string_view text) {
  const int bytes = static_cast<int>(text.size());
  const int wide =
      bytes == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
  if (result == nullptr) throw std::bad_alloc();
  if (wide > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, result, wide);
  return result;
}

Status FromVariant(const VARIANT& in, VarType type, LCID lcid, Variant* out) {
  ScopedVariant converted;
  // VariantChangeTypeEx reads through VT_BYREF (VT_VARIANT | VT_BYREF included, what script hosts
  // pass for their variables).
  const HRESULT hr = VariantChangeTypeEx(&converted.v, const_cast<VARIANT*>(&in), lcid, 0,
                                         TargetType(type));
  if (FAILED(hr)) {
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    const bool overflow = hr == DISP_E_OVERFLOW;
    return Fail(overflow ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH,
                std::string(overflow ? "overflow: " : "type mismatch: ") + Describe(in) +
                    (overflow ? " is outside the range of " : " is not ") + TypeName(type));
  }
  switch (type) {
    case VarType::kLong:
      *out = Variant::Long(V_I4(&converted.v));
      break;
    case VarType::kBool:
      *out = Variant::Bool(V_BOOL(&converted.v) != VARIANT_FALSE);
      break;
    case VarType::kText:
      *out = Variant::Text(NarrowText(V_BSTR(&converted.v)));
      break;
    case VarType::kVoid:
      *out = {};
      break;
  }
  return {};
}

void ToVariant(const Variant& value, VARIANT* out) {
  VariantInit(out);
  switch (value.type) {
    case Variant::Type::kLong:
      V_VT(out) = VT_I4;
      V_I4(out) = static_cast<LONG>(value.number);
      break;
    case Variant::Type::kBool:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = value.number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case Variant::Type::kText:
      V_BSTR(out) = AllocBstr(value.text);
      V_VT(out) = VT_BSTR;
      break;
    case Variant::Type::kEmpty:
      break;
  }
}

}  // namespace linvo::module::com
