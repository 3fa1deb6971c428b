// com_host [port]: the control from C++ through COM alone. It creates the control by its ProgID,
// calls its members by name through IDispatch, connects an event sink to its connection point
// (the event interface found through its class information) and receives the response of a
// background exchange as lvoReceiveResponseEvent while it handles its thread's messages.
#include <windows.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Invokes a member by name; args in the member's parameter order.
HRESULT Invoke(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT count,
               VARIANT* result) {
  DISPID dispid = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
  if (FAILED(hr)) return hr;
  VARIANT reversed[4];  // IDispatch takes the arguments last first
  for (UINT i = 0; i < count; ++i) reversed[count - 1 - i] = args[i];
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed, nullptr, count, 0};
  if (flags == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                        nullptr);
}

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

void PutLong(IDispatch* ctl, const wchar_t* name, LONG value) {
  VARIANT v = Long(value);
  Invoke(ctl, name, DISPATCH_PROPERTYPUT, &v, 1, nullptr);
}

void PutText(IDispatch* ctl, const wchar_t* name, const wchar_t* text) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(text);
  Invoke(ctl, name, DISPATCH_PROPERTYPUT, &v, 1, nullptr);
  VariantClear(&v);
}

// A method's long result (or a property's value), -1 when the call fails.
LONG CallLong(IDispatch* ctl, const wchar_t* name, VARIANT* args = nullptr, UINT count = 0) {
  VARIANT result;
  VariantInit(&result);
  if (FAILED(Invoke(ctl, name, DISPATCH_METHOD, args, count, &result)) ||
      FAILED(VariantChangeType(&result, &result, 0, VT_I4))) {
    return -1;
  }
  return V_I4(&result);
}

std::wstring GetText(IDispatch* ctl, const wchar_t* name) {
  VARIANT result;
  VariantInit(&result);
  std::wstring text;
  if (SUCCEEDED(Invoke(ctl, name, DISPATCH_PROPERTYGET, nullptr, 0, &result)) &&
      V_VT(&result) == VT_BSTR) {
    text = V_BSTR(&result);
  }
  VariantClear(&result);
  return text;
}

// Receives the control's events: prints each by the name its type information gives it.
class Sink final : public IDispatch {
 public:
  explicit Sink(ITypeInfo* events) : m_events(events) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, eventsIid)) {
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on main's stack
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    BSTR name = nullptr;
    m_events->GetDocumentation(dispid, &name, nullptr, nullptr, nullptr);
    std::printf("event %ls(%ld)\n", name ? name : L"?", V_I4(&params->rgvarg[0]));
    SysFreeString(name);
    if (dispid == 2) responded = true;  // lvoReceiveResponseEvent
    return S_OK;
  }

  IID eventsIid{};
  bool responded = false;

 private:
  ITypeInfo* m_events;
};

// The event interface's type information: the class's default source interface.
ITypeInfo* EventInterface(IDispatch* ctl, IID* iid) {
  IProvideClassInfo2* info = nullptr;
  ITypeInfo* coclass = nullptr;
  ITypeInfo* events = nullptr;
  if (SUCCEEDED(ctl->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info)))) {
    info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, iid);
    if (SUCCEEDED(info->GetClassInfo(&coclass))) {
      ITypeLib* library = nullptr;
      UINT index = 0;
      if (SUCCEEDED(coclass->GetContainingTypeLib(&library, &index))) {
        library->GetTypeInfoOfGuid(*iid, &events);
        library->Release();
      }
      coclass->Release();
    }
    info->Release();
  }
  return events;
}

}  // namespace

int main(int argc, char** argv) {
  const LONG port = argc > 1 ? std::atol(argv[1]) : 7;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CLSID clsid{};
  IDispatch* ctl = nullptr;
  if (FAILED(CLSIDFromProgID(L"LINVO.LinvoCtrl.1", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&ctl)))) {
    std::printf("LINVO.LinvoCtrl.1 is not registered (regsvr32 linvo.dll)\n");
    return 1;
  }

  IID eventsIid{};
  ITypeInfo* events = EventInterface(ctl, &eventsIid);
  Sink sink(events);
  sink.eventsIid = eventsIid;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  ctl->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  container->FindConnectionPoint(eventsIid, &point);
  point->Advise(&sink, &cookie);

  PutLong(ctl, L"PortNo", port);
  PutLong(ctl, L"BaudRate", 19200);
  PutText(ctl, L"Parity", L"N");
  std::printf("lvoOpenPort -> %ld\n", CallLong(ctl, L"lvoOpenPort"));
  PutText(ctl, L"SendData", L"S1");
  VARIANT args[] = {Long(2), Long(3000)};  // in the background
  std::printf("lvoSendCommandRR(2, 3000) S1 -> %ld\n", CallLong(ctl, L"lvoSendCommandRR", args, 2));

  // The event arrives while this thread handles its messages.
  const ULONGLONG end = GetTickCount64() + 10000;
  while (!sink.responded && GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  std::printf("PollCmdResData %ls\n", GetText(ctl, L"PollCmdResData").c_str());
  std::printf("lvoClosePort -> %ld\n", CallLong(ctl, L"lvoClosePort"));

  point->Unadvise(cookie);
  point->Release();
  container->Release();
  if (events) events->Release();
  ctl->Release();
  CoUninitialize();
  return sink.responded ? 0 : 1;
}
