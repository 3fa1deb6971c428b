// Values crossing the COM interfaces: BSTRs as the control's narrow text in the ANSI code page,
// host VARIANTs coerced to the members' types as the automation layer coerces them, and results
// as VARIANTs.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>

#include "control/value.h"
#include "module/status.h"
#include "module/variant.h"

namespace linvo::module::com {

// Clears the VARIANT it holds when it goes.
struct ScopedVariant {
  VARIANT v;
  ScopedVariant() { VariantInit(&v); }
  ~ScopedVariant() { VariantClear(&v); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
};

// A wide text as narrow text in the ANSI code page (characters it lacks become its default
// character). A null BSTR is the empty text.
std::string NarrowText(const wchar_t* text, std::size_t length);
std::string NarrowText(BSTR text);
// A narrow text in the ANSI code page as a new BSTR; throws std::bad_alloc when none can be
// allocated.
BSTR AllocBstr(std::string_view text);

// Converts a host's value to an interface type with the system's automation coercion in the
// caller's locale: by-reference values are read through, numbers become text and text numbers,
// booleans are VARIANT_TRUE/FALSE (-1/0). Fails with DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW or
// E_OUTOFMEMORY and a message saying which value could not become what.
Status FromVariant(const VARIANT& in, control::VarType type, LCID lcid, Variant* out);

// Fills a result VARIANT (initialised by the caller) with a value: VT_I4, VT_BOOL, VT_BSTR or
// VT_EMPTY.
void ToVariant(const Variant& value, VARIANT* out);

}  // namespace linvo::module::com
