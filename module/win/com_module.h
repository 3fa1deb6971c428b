// What the COM server's pieces share: the module itself (its handle, path and type library), the
// identities of the class table as GUIDs, and the count of live objects and server locks that
// decides whether the module may be unloaded.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "module/class_table.h"

namespace linvo::module::com {

// The identities of the control class as GUIDs, parsed once from the class table.
struct ControlIdentity {
  const ClassEntry* entry;  // the class table's control entry (the class with type information)
  CLSID clsid;
  GUID library;
  IID dispatch;  // _DLinvo
  IID events;    // _DLinvoEvents
  CLSID propertyPage;
};
const ControlIdentity& Control();

// A GUID from its registry text "{...}"; GUID_NULL for a text that is not one.
GUID GuidFromText(const char* text);
// "{...}" in upper case, as the registry keeps it.
std::wstring GuidText(REFGUID guid);

HMODULE ThisModule();
// A text of the module's own (ASCII) as a wide text.
std::wstring Widen(const char* text);
// A copy of the text in memory from CoTaskMemAlloc, for interfaces that hand texts out; null when
// none can be allocated.
LPOLESTR TaskMemText(const std::wstring& text);
// The full path of this module's file.
std::wstring ModulePath();
// The type library built into this module.
HRESULT LoadModuleTypeLib(ITypeLib** library);

// Every object the module hands out (controls, factories' products, enumerators) counts itself
// as long as it lives, so that the module is not unloaded under it.
class ModuleObject {
 public:
  ModuleObject();
  ~ModuleObject();
  ModuleObject(const ModuleObject&) = delete;
  ModuleObject& operator=(const ModuleObject&) = delete;
};

// IClassFactory::LockServer.
void LockServer(bool lock);
// True while no object lives and no lock is held.
bool CanUnload();

}  // namespace linvo::module::com
