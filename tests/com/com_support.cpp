#include "com/com_support.h"

#include <chrono>
#include <functional>

namespace linvo::test::com {
namespace {

// The DLL is registered for the whole machine before the first test, as an installer would.
class Registration : public ::testing::Environment {
 public:
  void SetUp() override {
    const DWORD status = RunProgram(L"regsvr32.exe /s \"" + DllPath() + L"\"");
    ASSERT_EQ(status, 0u) << "regsvr32 of linvo.dll failed";
  }
};

const auto* const g_registration = ::testing::AddGlobalTestEnvironment(new Registration);

}  // namespace

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring DllPath() { return ProgramFolder() + L"\\linvo.dll"; }

DWORD RunProgram(const std::wstring& commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return ~0u;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD status = ~0u;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

HRESULT CanUnloadNow() {
  HMODULE dll = GetModuleHandleW(L"linvo.dll");
  auto canUnload = dll ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(
                             GetProcAddress(dll, "DllCanUnloadNow")))
                       : nullptr;
  return canUnload ? canUnload() : E_FAIL;
}

ComPtr<IDispatch> CreateControl() {
  CLSID clsid{};
  ComPtr<IDispatch> object;
  EXPECT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(object.Put())),
            S_OK);
  return object;
}

CallResult Invoke(IDispatch* object, const wchar_t* name, WORD flags, std::vector<Var> args,
                  bool withExcepInfo) {
  CallResult r;
  DISPID dispid = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  r.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
  if (FAILED(r.hr)) return r;
  std::vector<VARIANT> reversed(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) reversed[args.size() - 1 - i] = args[i].v;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(args.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
  }
  EXCEPINFO info{};
  r.hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &r.value.v,
                        withExcepInfo ? &info : nullptr, &r.argError);
  if (r.hr == DISP_E_EXCEPTION) {
    r.source = info.bstrSource ? info.bstrSource : L"";
    r.description = info.bstrDescription ? info.bstrDescription : L"";
    r.scode = info.scode;
  }
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  return r;
}

CallResult Put(IDispatch* object, const wchar_t* name, Var value) {
  return Invoke(object, name, DISPATCH_PROPERTYPUT, {std::move(value)});
}

int32_t LongOf(const CallResult& r) {
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(V_VT(&r.value.v), VT_I4);
  return V_VT(&r.value.v) == VT_I4 ? V_I4(&r.value.v) : -999999;
}

std::wstring TextOf(const CallResult& r) {
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(V_VT(&r.value.v), VT_BSTR);
  if (V_VT(&r.value.v) != VT_BSTR || V_BSTR(&r.value.v) == nullptr) return L"";
  return std::wstring(V_BSTR(&r.value.v), SysStringLen(V_BSTR(&r.value.v)));
}

bool BoolOf(const CallResult& r) {
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(V_VT(&r.value.v), VT_BOOL);
  if (V_VT(&r.value.v) == VT_BOOL) {
    EXPECT_TRUE(V_BOOL(&r.value.v) == VARIANT_TRUE || V_BOOL(&r.value.v) == VARIANT_FALSE);
  }
  return V_VT(&r.value.v) == VT_BOOL && V_BOOL(&r.value.v) != VARIANT_FALSE;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, HANDLE wake) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    MsgWaitForMultipleObjects(wake ? 1 : 0, wake ? &wake : nullptr, FALSE,
                              static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

}  // namespace linvo::test::com
