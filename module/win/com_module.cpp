#include "module/win/com_module.h"

#include <algorithm>
#include <atomic>
#include <cwctype>

namespace linvo::module::com {
namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

ControlIdentity MakeIdentity() {
  ControlIdentity id{};
  for (const ClassEntry& c : Classes()) {
    if (c.typeInfo == nullptr) continue;
    id.entry = &c;
    id.clsid = GuidFromText(c.clsid);
    id.library = GuidFromText(c.typeInfo->libraryGuid);
    id.dispatch = GuidFromText(c.typeInfo->dispatchGuid);
    id.events = GuidFromText(c.typeInfo->eventsGuid);
    id.propertyPage = c.propertyPage ? GuidFromText(c.propertyPage) : GUID_NULL;
    break;
  }
  return id;
}

}  // namespace

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<unsigned char>(*text));
  return wide;
}

LPOLESTR TaskMemText(const std::wstring& text) {
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy != nullptr) std::copy(text.c_str(), text.c_str() + text.size() + 1, copy);
  return copy;
}

const ControlIdentity& Control() {
  static const ControlIdentity identity = MakeIdentity();
  return identity;
}

GUID GuidFromText(const char* text) {
  GUID guid = GUID_NULL;
  std::wstring wide = Widen(text);
  if (FAILED(IIDFromString(wide.data(), &guid))) return GUID_NULL;
  return guid;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
  std::wstring result(text);
  for (wchar_t& c : result) c = static_cast<wchar_t>(std::towupper(c));
  return result;
}

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // long paths: the name was cut, try a larger buffer
  }
}

HRESULT LoadModuleTypeLib(ITypeLib** library) {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

ModuleObject::ModuleObject() { ++g_objects; }
ModuleObject::~ModuleObject() { --g_objects; }

void LockServer(bool lock) {
  if (lock) {
    ++g_locks;
  } else {
    --g_locks;
  }
}

bool CanUnload() { return g_objects.load() == 0 && g_locks.load() <= 0; }

}  // namespace linvo::module::com
