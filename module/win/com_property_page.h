// The control's property page (IPropertyPage): its title "General" and dialog 200, which holds one
// note and no editing controls, so the page exchanges no properties and is never dirty.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace linvo::module::com {

// Creates a page on the calling thread and answers the interface asked for.
HRESULT CreatePropertyPage(REFIID riid, void** object);

}  // namespace linvo::module::com
