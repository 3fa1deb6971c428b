// Self-registration: DllRegisterServer and DllUnregisterServer for the whole machine, DllInstall
// with "user" for the current user only (HKCU\Software\Classes, no administrator rights). Every key
// comes from the class table and the type library; unregistering removes what registering wrote,
// except the component categories themselves, which other classes may share.
#include <windows.h>
#include <comcat.h>
#include <olectl.h>

#include <cwctype>
#include <string>
#include <vector>

#include "control/member_table.h"
#include "module/win/com_module.h"
#include "module/win/com_ptr.h"

namespace linvo::module::com {
namespace {

enum class Scope { kMachine, kUser };

// The marshaller of dispatch interfaces (PSDispatch), which dispinterfaces name as their
// proxy/stub class.
constexpr wchar_t kAutomationProxy[] = L"{00020420-0000-0000-C000-000000000046}";

#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
constexpr wchar_t kSysKindKey[] = L"win64";
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
constexpr wchar_t kSysKindKey[] = L"win32";
#endif

// One open registry key, closed when it goes.
class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  // Creates (or opens) parent\path for writing.
  LONG Create(HKEY parent, const std::wstring& path) {
    return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE, nullptr, &m_key, nullptr);
  }
  // Opens parent\path for reading; false when it is not there.
  bool Open(HKEY parent, const std::wstring& path) {
    return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &m_key) == ERROR_SUCCESS;
  }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

// Writes registry texts under one root (HKLM or HKCU \Software\Classes); remembers the first
// failure.
class Writer {
 public:
  explicit Writer(HKEY root) : m_root(root) {}
  // Sets a text value (name empty: the key's default value), creating the key.
  void Set(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    if (m_error != ERROR_SUCCESS) return;
    RegKey k;
    m_error = k.Create(m_root, key);
    if (m_error != ERROR_SUCCESS) return;
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    m_error = RegSetValueExW(k.get(), name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(value.c_str()), bytes);
  }
  void Key(const std::wstring& key) {
    if (m_error != ERROR_SUCCESS) return;
    RegKey k;
    m_error = k.Create(m_root, key);
  }
  bool ok() const { return m_error == ERROR_SUCCESS; }

 private:
  HKEY m_root;
  LONG m_error = ERROR_SUCCESS;
};

// Deletes a key with everything under it; a key that is not there is gone already.
bool DeleteTree(HKEY root, const std::wstring& key) {
  const LONG error = RegDeleteTreeW(root, key.c_str());
  if (error == ERROR_FILE_NOT_FOUND) return true;
  if (error != ERROR_SUCCESS) return false;
  const LONG rest = RegDeleteKeyW(root, key.c_str());  // the key itself, where it remains
  return rest == ERROR_SUCCESS || rest == ERROR_FILE_NOT_FOUND;
}

// HKLM\Software\Classes or HKCU\Software\Classes.
class ClassesRoot {
 public:
  explicit ClassesRoot(Scope scope) {
    m_error = m_key.Create(scope == Scope::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE,
                           L"Software\\Classes");
  }
  bool ok() const { return m_error == ERROR_SUCCESS; }
  HKEY get() const { return m_key.get(); }

 private:
  RegKey m_key;
  LONG m_error;
};

std::wstring LibraryVersion() {
  const control::TypeLibraryInfo& lib = control::TypeLibrary();
  return std::to_wstring(lib.versionMajor) + L"." + std::to_wstring(lib.versionMinor);
}

std::wstring Folder(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring Hex(unsigned long value) {
  wchar_t text[16];
  swprintf(text, std::size(text), L"%lx", value);
  return text;
}

// The library is made for locale 0x409; it is registered for the neutral locale 0 as well, where
// hosts and the system's dispatch marshaller look for it (LoadRegTypeLib with locale 0).
std::wstring NeutralLocaleKey(REFGUID libid) {
  return L"TypeLib\\" + GuidText(libid) + L"\\" + LibraryVersion() + L"\\0\\" + kSysKindKey;
}

// The type library's keys for the current user, as the system writes them for the machine:
// TypeLib\{libid}\<version> with its name, flags, help folder and path, and Interface\{iid} for
// each dispinterface with the automation marshaller.
bool WriteUserTypeLib(HKEY root, ITypeLib* library, const std::wstring& path) {
  TLIBATTR* attr = nullptr;
  if (FAILED(library->GetLibAttr(&attr))) return false;
  const TLIBATTR lib = *attr;
  library->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  BSTR doc = nullptr;
  library->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  const std::wstring title = doc && *doc ? doc : name ? name : L"";
  SysFreeString(name);
  SysFreeString(doc);

  Writer w(root);
  const std::wstring libKey = L"TypeLib\\" + GuidText(lib.guid) + L"\\" + LibraryVersion();
  w.Set(libKey, L"", title);
  w.Set(libKey + L"\\FLAGS", L"", std::to_wstring(lib.wLibFlags & ~LIBFLAG_FHASDISKIMAGE));
  w.Set(libKey + L"\\HELPDIR", L"", Folder(path));
  w.Set(libKey + L"\\" + Hex(lib.lcid) + L"\\" + kSysKindKey, L"", path);
  w.Set(NeutralLocaleKey(lib.guid), L"", path);
  for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
    TYPEKIND kind;
    if (FAILED(library->GetTypeInfoType(i, &kind)) || kind != TKIND_DISPATCH) continue;
    ComPtr<ITypeInfo> info;
    TYPEATTR* type = nullptr;
    if (FAILED(library->GetTypeInfo(i, info.Put())) || FAILED(info->GetTypeAttr(&type))) {
      return false;
    }
    const GUID iid = type->guid;
    info->ReleaseTypeAttr(type);
    BSTR typeName = nullptr;
    library->GetDocumentation(static_cast<INT>(i), &typeName, nullptr, nullptr, nullptr);
    const std::wstring key = L"Interface\\" + GuidText(iid);
    w.Set(key, L"", typeName ? typeName : L"");
    SysFreeString(typeName);
    w.Set(key + L"\\ProxyStubClsid", L"", kAutomationProxy);
    w.Set(key + L"\\ProxyStubClsid32", L"", kAutomationProxy);
    w.Set(key + L"\\TypeLib", L"", GuidText(lib.guid));
    w.Set(key + L"\\TypeLib", L"Version", LibraryVersion());
  }
  return w.ok();
}

bool RegisterTypeLibrary(Scope scope, HKEY root, const std::wstring& path) {
  ComPtr<ITypeLib> library;
  if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put()))) return false;
  if (scope == Scope::kMachine) {
    std::wstring writable = path;
    if (FAILED(RegisterTypeLib(library.Get(), writable.data(), nullptr))) return false;
    Writer w(root);
    w.Set(NeutralLocaleKey(Control().library), L"", path);
    return w.ok();
  }
  // Written by hand: the system's per-user registration is not available everywhere (Wine
  // registers such a library for the whole machine).
  return WriteUserTypeLib(root, library.Get(), path);
}

bool UnregisterTypeLibrary(Scope scope, HKEY root) {
  const control::TypeLibraryInfo& lib = control::TypeLibrary();
  const std::wstring neutral = NeutralLocaleKey(Control().library);
  if (scope == Scope::kMachine) {
    // The neutral locale's key first, so that the system removes the version's key once it has
    // removed its own registration.
    if (!DeleteTree(root, neutral.substr(0, neutral.rfind(L'\\')))) return false;
    // The library's own locale: the system finds a registration by the locale it was made for,
    // so asking with locale 0 for a 0x409 library fails.
    return SUCCEEDED(UnRegisterTypeLib(Control().library, lib.versionMajor, lib.versionMinor,
                                       lib.lcid, kSysKind));
  }
  const std::wstring libKey = L"TypeLib\\" + GuidText(Control().library);
  if (RegKey probe; !probe.Open(root, libKey)) return false;  // not registered for this user
  return DeleteTree(root, libKey) &&
         DeleteTree(root, L"Interface\\" + GuidText(Control().dispatch)) &&
         DeleteTree(root, L"Interface\\" + GuidText(Control().events));
}

// The class keys: its type name and, for a class the module serves, its server and threading
// model; a class with type information (the control) is registered as a control with its ProgID.
// The property page's ProgID stays with its class factory.
bool WriteClass(HKEY root, const ClassEntry& c, const std::wstring& path) {
  Writer w(root);
  const std::wstring clsid = GuidText(GuidFromText(c.clsid));
  const std::wstring key = L"CLSID\\" + clsid;
  const std::wstring typeName = Widen(c.typeName);
  w.Set(key, L"", typeName);
  if (*c.threadingModel != '\0') {
    w.Set(key + L"\\InprocServer32", L"", path);
    w.Set(key + L"\\InprocServer32", L"ThreadingModel", Widen(c.threadingModel));
  }
  if (c.typeInfo != nullptr) {
    const std::wstring progId = Widen(c.progId);
    const std::wstring misc = std::to_wstring(c.miscStatus);
    w.Set(key + L"\\ProgID", L"", progId);
    w.Key(key + L"\\Control");
    w.Set(key + L"\\MiscStatus", L"", misc);
    w.Set(key + L"\\MiscStatus\\1", L"", misc);  // DVASPECT_CONTENT
    w.Set(key + L"\\ToolboxBitmap32", L"", path + L", 1");
    w.Set(key + L"\\TypeLib", L"", GuidText(GuidFromText(c.typeInfo->libraryGuid)));
    w.Set(key + L"\\Version", L"", LibraryVersion());
    w.Set(progId, L"", typeName);
    w.Set(progId + L"\\CLSID", L"", clsid);
  }
  return w.ok();
}

bool DeleteClass(HKEY root, const ClassEntry& c) {
  bool ok = DeleteTree(root, L"CLSID\\" + GuidText(GuidFromText(c.clsid)));
  if (c.typeInfo != nullptr) ok = DeleteTree(root, Widen(c.progId)) && ok;
  return ok;
}

// The component category and the class's membership, through the system's categories manager
// (machine) or as the keys it writes (user).
bool RegisterCategory(Scope scope, HKEY root, const CategoryEntry& category, REFCLSID clsid) {
  const GUID catid = GuidFromText(category.catid);
  if (scope == Scope::kUser) {
    Writer w(root);
    w.Set(L"Component Categories\\" + GuidText(catid), Hex(category.lcid),
          Widen(category.description));
    w.Key(L"CLSID\\" + GuidText(clsid) + L"\\Implemented Categories\\" + GuidText(catid));
    return w.ok();
  }
  ComPtr<ICatRegister> manager;
  if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICatRegister, reinterpret_cast<void**>(manager.Put())))) {
    return false;
  }
  CATEGORYINFO info{};
  info.catid = catid;
  info.lcid = category.lcid;
  const std::wstring text = Widen(category.description);
  lstrcpynW(info.szDescription, text.c_str(), static_cast<int>(std::size(info.szDescription)));
  if (FAILED(manager->RegisterCategories(1, &info))) return false;
  manager.Reset();
  if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICatRegister, reinterpret_cast<void**>(manager.Put())))) {
    return false;
  }
  CATID id = catid;
  return SUCCEEDED(manager->RegisterClassImplCategories(clsid, 1, &id));
}

// COM for the calling thread while registration uses it (the categories manager); a thread that
// has it already keeps it as it is.
class ComScope {
 public:
  ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT m_hr;
};

HRESULT Register(Scope scope) {
  ComScope com;
  const std::wstring path = ModulePath();
  ClassesRoot root(scope);
  if (path.empty() || !root.ok()) return SELFREG_E_TYPELIB;
  if (!RegisterTypeLibrary(scope, root.get(), path)) return SELFREG_E_TYPELIB;
  for (const ClassEntry& c : Classes()) {
    if (!WriteClass(root.get(), c, path)) return SELFREG_E_CLASS;
  }
  for (const ClassEntry& c : Classes()) {
    const CLSID clsid = GuidFromText(c.clsid);
    for (const CategoryEntry& category : c.categories) {
      if (!RegisterCategory(scope, root.get(), category, clsid)) return SELFREG_E_CLASS;
    }
  }
  return S_OK;
}

HRESULT Unregister(Scope scope) {
  ComScope com;
  ClassesRoot root(scope);
  if (!root.ok() || !UnregisterTypeLibrary(scope, root.get())) return SELFREG_E_TYPELIB;
  for (const ClassEntry& c : Classes()) {
    if (!DeleteClass(root.get(), c)) return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // namespace
}  // namespace linvo::module::com

using linvo::module::com::Scope;

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  return linvo::module::com::Register(Scope::kMachine);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return linvo::module::com::Unregister(Scope::kMachine);
}

// regsvr32 /n /i:user registers for the current user, /u /n /i:user unregisters; no command line
// (or "machine") is the whole machine.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllInstall(BOOL install,
                                                                   LPCWSTR commandLine) {
  Scope scope = Scope::kMachine;
  if (commandLine != nullptr && *commandLine != L'\0') {
    if (lstrcmpiW(commandLine, L"user") == 0) {
      scope = Scope::kUser;
    } else if (lstrcmpiW(commandLine, L"machine") != 0) {
      return E_INVALIDARG;
    }
  }
  return install ? linvo::module::com::Register(scope) : linvo::module::com::Unregister(scope);
}
