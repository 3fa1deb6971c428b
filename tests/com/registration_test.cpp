// Registration as regsvr32 does it: for the whole machine (DllRegisterServer) and for the current
// user (DllInstall "user"), every entry read back from the registry, and unregistration removing
// what registration wrote.
#include <gtest/gtest.h>

#include <olectl.h>

#include <optional>

#include "com/com_support.h"

namespace linvo::test::com {
namespace {

constexpr wchar_t kControl[] = L"CLSID\\{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}";
constexpr wchar_t kPage[] = L"CLSID\\{ED855060-6847-4049-ADF2-DB863C54FC2B}";
constexpr wchar_t kLibrary[] = L"TypeLib\\{4437D2F7-7F23-4975-A527-CFEBA0608D2A}";
constexpr wchar_t kDispatch[] = L"Interface\\{D5F45558-688C-4893-B57A-FE645A0096FE}";
constexpr wchar_t kEvents[] = L"Interface\\{6BB9DAD9-9F83-4ECB-AA6D-9FCEB0C7DD2B}";
constexpr wchar_t kScripting[] = L"{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
constexpr wchar_t kInitializing[] = L"{7DD95802-9882-11CF-9FA9-00AA006C42C4}";

// A text value under HKLM or HKCU \Software\Classes; nullopt when the key or value is missing.
std::optional<std::wstring> Text(HKEY scope, const std::wstring& key, const wchar_t* name = L"") {
  const std::wstring path = L"Software\\Classes\\" + key;
  wchar_t value[1024];
  DWORD size = sizeof value;
  if (RegGetValueW(scope, path.c_str(), *name ? name : nullptr, RRF_RT_REG_SZ, nullptr, value,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(value);
}

bool Exists(HKEY scope, const std::wstring& key) {
  HKEY handle = nullptr;
  const std::wstring path = L"Software\\Classes\\" + key;
  if (RegOpenKeyExW(scope, path.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

// Every entry of a registration under one scope.
void ExpectRegistered(HKEY scope) {
  const std::wstring dll = Lower(DllPath());
  const std::wstring control = kControl;
  EXPECT_EQ(Text(scope, control), L"Linvo Control");
  EXPECT_EQ(Lower(Text(scope, control + L"\\InprocServer32").value_or(L"")), dll);
  EXPECT_EQ(Text(scope, control + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  EXPECT_EQ(Text(scope, control + L"\\ProgID"), L"LINVO.LinvoCtrl.1");
  EXPECT_TRUE(Exists(scope, control + L"\\Control"));
  EXPECT_EQ(Text(scope, control + L"\\MiscStatus"), L"131473");
  EXPECT_EQ(Text(scope, control + L"\\MiscStatus\\1"), L"131473");
  EXPECT_EQ(Lower(Text(scope, control + L"\\ToolboxBitmap32").value_or(L"")), dll + L", 1");
  EXPECT_EQ(Text(scope, control + L"\\TypeLib"), L"{4437D2F7-7F23-4975-A527-CFEBA0608D2A}");
  EXPECT_EQ(Text(scope, control + L"\\Version"), L"1.0");
  for (const wchar_t* category : {kScripting, kInitializing}) {
    EXPECT_TRUE(Exists(scope, control + L"\\Implemented Categories\\" + category)) << category;
  }
  EXPECT_EQ(Text(scope, L"Component Categories\\" + std::wstring(kScripting), L"409"),
            L"Controls that are safely scriptable");
  EXPECT_EQ(Text(scope, L"Component Categories\\" + std::wstring(kInitializing), L"409"),
            L"Controls safely initializable from persistent data");
  // The property page: its type name and its server, no ProgID.
  EXPECT_EQ(Text(scope, kPage), L"Linvo Property Page");
  EXPECT_EQ(Lower(Text(scope, std::wstring(kPage) + L"\\InprocServer32").value_or(L"")), dll);
  EXPECT_EQ(Text(scope, std::wstring(kPage) + L"\\InprocServer32", L"ThreadingModel"),
            L"Apartment");
  EXPECT_FALSE(Exists(scope, std::wstring(kPage) + L"\\ProgID"));
  EXPECT_FALSE(Exists(scope, L"LINVO.LinvoPropPage.1"));
  // The ProgID points back.
  EXPECT_EQ(Text(scope, L"LINVO.LinvoCtrl.1"), L"Linvo Control");
  EXPECT_EQ(Text(scope, L"LINVO.LinvoCtrl.1\\CLSID"), L"{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}");
  // The type library and its two dispinterfaces, marshalled by the dispatch marshaller.
  const std::wstring version = std::wstring(kLibrary) + L"\\1.0";
  EXPECT_TRUE(Text(scope, version).has_value());
  EXPECT_EQ(Lower(Text(scope, version + L"\\409\\win64").value_or(L"")), dll);
  EXPECT_EQ(Lower(Text(scope, version + L"\\0\\win64").value_or(L"")), dll);
  for (const wchar_t* iface : {kDispatch, kEvents}) {
    EXPECT_EQ(Text(scope, std::wstring(iface) + L"\\ProxyStubClsid32"),
              L"{00020420-0000-0000-C000-000000000046}")
        << iface;
    EXPECT_EQ(Text(scope, std::wstring(iface) + L"\\TypeLib"),
              L"{4437D2F7-7F23-4975-A527-CFEBA0608D2A}");
  }
  EXPECT_EQ(Text(scope, std::wstring(kDispatch)), L"_DLinvo");
  EXPECT_EQ(Text(scope, std::wstring(kEvents)), L"_DLinvoEvents");
}

// What unregistration removes; the categories themselves stay.
void ExpectUnregistered(HKEY scope) {
  for (const std::wstring& key : {std::wstring(kControl), std::wstring(kPage),
                                 std::wstring(L"LINVO.LinvoCtrl.1"), std::wstring(kLibrary),
                                 std::wstring(kDispatch), std::wstring(kEvents)}) {
    EXPECT_FALSE(Exists(scope, key)) << key.c_str();
  }
  EXPECT_TRUE(Exists(scope, L"Component Categories\\" + std::wstring(kScripting)));
  EXPECT_TRUE(Exists(scope, L"Component Categories\\" + std::wstring(kInitializing)));
}

std::wstring Regsvr32(const wchar_t* options) {
  return std::wstring(L"regsvr32.exe /s ") + options + L" \"" + DllPath() + L"\"";
}

TEST(Registration, MachineWideEntriesAndTheirRemoval) {
  Apartment apartment;
  // The test environment registered the DLL with regsvr32.
  ExpectRegistered(HKEY_LOCAL_MACHINE);
  ComPtr<ITypeLib> library;
  const GUID libid = Guid(kLibid);
  for (LCID lcid : {0x409, 0}) {
    EXPECT_EQ(LoadRegTypeLib(libid, 1, 0, lcid, library.Put()), S_OK) << lcid;
  }
  library.Reset();

  ASSERT_EQ(RunProgram(Regsvr32(L"/u")), 0u);
  ExpectUnregistered(HKEY_LOCAL_MACHINE);
  EXPECT_NE(LoadRegTypeLib(libid, 1, 0, 0x409, library.Put()), S_OK);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(kProgId, &clsid), CO_E_CLASSSTRING);

  // Unregistering again fails at its first step; registering again restores everything.
  HMODULE dll = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(dll, nullptr);
  auto unregister = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
  ASSERT_NE(unregister, nullptr);
  EXPECT_EQ(unregister(), SELFREG_E_TYPELIB);
  FreeLibrary(dll);
  ASSERT_EQ(RunProgram(Regsvr32(L"")), 0u);
  ExpectRegistered(HKEY_LOCAL_MACHINE);
}

TEST(Registration, PerUserEntriesAndTheirRemoval) {
  ASSERT_EQ(RunProgram(Regsvr32(L"/n /i:user")), 0u);
  ExpectRegistered(HKEY_CURRENT_USER);
  ASSERT_EQ(RunProgram(Regsvr32(L"/u /n /i:user")), 0u);
  ExpectUnregistered(HKEY_CURRENT_USER);
  // The machine's registration is not touched.
  ExpectRegistered(HKEY_LOCAL_MACHINE);
}

TEST(Registration, DllInstallTakesUserOrMachineOnly) {
  HMODULE dll = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(dll, nullptr);
  auto install = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllInstall")));
  ASSERT_NE(install, nullptr);
  EXPECT_EQ(install(TRUE, L"everyone"), E_INVALIDARG);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, kControl));
  FreeLibrary(dll);
}

}  // namespace
}  // namespace linvo::test::com
