// Helpers of the COM host tests: an apartment per test, the DLL beside the test program and its
// registration, and dispatch calls with owned VARIANTs.
#pragma once

#include <gtest/gtest.h>
#include <oaidl.h>
#include <ocidl.h>
#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "module/win/com_ptr.h"

namespace linvo::test::com {

using module::com::ComPtr;

inline constexpr wchar_t kProgId[] = L"LINVO.LinvoCtrl.1";
inline constexpr wchar_t kClsid[] = L"{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}";
inline constexpr wchar_t kPageClsid[] = L"{ED855060-6847-4049-ADF2-DB863C54FC2B}";
inline constexpr wchar_t kLibid[] = L"{4437D2F7-7F23-4975-A527-CFEBA0608D2A}";
inline constexpr wchar_t kDispatchIid[] = L"{D5F45558-688C-4893-B57A-FE645A0096FE}";
inline constexpr wchar_t kEventsIid[] = L"{6BB9DAD9-9F83-4ECB-AA6D-9FCEB0C7DD2B}";

// A GUID from its registry text.
inline GUID Guid(const wchar_t* text) {
  GUID guid{};
  EXPECT_EQ(IIDFromString(text, &guid), S_OK);
  return guid;
}

// A single-threaded apartment for the calling thread while it lives.
class Apartment {
 public:
  Apartment() { m_hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~Apartment() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  HRESULT m_hr;
};

// A VARIANT that clears itself.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  Var(int32_t value) : Var() {
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
  }
  Var(bool value) : Var() {
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
  }
  Var(double value) : Var() {
    V_VT(&v) = VT_R8;
    V_R8(&v) = value;
  }
  Var(const wchar_t* text) : Var() {
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
  }
  // A by-reference VARIANT pointing at another (what script hosts pass for variables).
  static Var Ref(VARIANT* target) {
    Var r;
    V_VT(&r.v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&r.v) = target;
    return r;
  }
  // An omitted argument.
  static Var Missing() {
    Var r;
    V_VT(&r.v) = VT_ERROR;
    V_ERROR(&r.v) = DISP_E_PARAMNOTFOUND;
    return r;
  }
  Var(const Var& other) : Var() { VariantCopy(&v, const_cast<VARIANT*>(&other.v)); }
  Var& operator=(const Var& other) {
    if (this != &other) VariantCopy(&v, const_cast<VARIANT*>(&other.v));
    return *this;
  }
  ~Var() { VariantClear(&v); }
};

// The folder of the test program (linvo.dll sits beside it).
std::wstring ProgramFolder();
std::wstring DllPath();

// Runs a program with the command line and returns its exit code (~0u when it cannot start).
DWORD RunProgram(const std::wstring& commandLine);

// DllCanUnloadNow of the linvo.dll that COM loaded into this process (E_FAIL when none is).
HRESULT CanUnloadNow();

// Creates the control by ProgID (registered machine-wide by the test environment).
ComPtr<IDispatch> CreateControl();

// The outcome of one IDispatch::Invoke by member name.
struct CallResult {
  HRESULT hr = S_OK;
  Var value;
  UINT argError = ~0u;
  std::wstring source;       // EXCEPINFO, when the call raised an exception
  std::wstring description;
  HRESULT scode = S_OK;
};

// Invokes a member by name with the arguments in their declared order (reversed for rgvarg).
// withExcepInfo: whether an EXCEPINFO is passed, as script hosts do.
CallResult Invoke(IDispatch* object, const wchar_t* name, WORD flags, std::vector<Var> args = {},
                  bool withExcepInfo = true);
inline CallResult Get(IDispatch* object, const wchar_t* name) {
  return Invoke(object, name, DISPATCH_PROPERTYGET);
}
CallResult Put(IDispatch* object, const wchar_t* name, Var value);
inline CallResult Call(IDispatch* object, const wchar_t* name, std::vector<Var> args = {}) {
  return Invoke(object, name, DISPATCH_METHOD, std::move(args));
}

// Readers of results (failing the test when the type differs).
int32_t LongOf(const CallResult& r);
std::wstring TextOf(const CallResult& r);
bool BoolOf(const CallResult& r);

// Pumps the thread's messages until done() or the time-out; wake (may be null) is a handle that is
// signalled when done() may have become true without a message.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, HANDLE wake = nullptr);

}  // namespace linvo::test::com
