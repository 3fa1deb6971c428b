// The control as a COM object: the dispatch interface _DLinvo over the module's dispatch object,
// the connection point of _DLinvoEvents, class information, stream and property-bag persistence,
// safety options and error information. Apartment-threaded: every call but reference counting
// and QueryInterface answers RPC_E_WRONG_THREAD off the thread that created it.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "module/dispatch_object.h"
#include "module/win/com_module.h"
#include "module/win/com_ptr.h"
#include "platform/message.h"

namespace linvo::module::com {

class ComControl final : public IDispatch,
                         public IConnectionPointContainer,
                         public IProvideClassInfo2,
                         public IPersistStreamInit,
                         public IPersistPropertyBag,
                         public IObjectSafety,
                         public ISupportErrorInfo,
                         private ModuleObject {
 public:
  // Creates a control on the calling thread and answers the interface asked for.
  static HRESULT Create(REFIID riid, void** object);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch (_DLinvo)
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* dispids) override;
  STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

  // IPersist, IPersistStreamInit, IPersistPropertyBag
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(IStream* stream) override;
  STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

  // IObjectSafety
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  class EventPoint;

  explicit ComControl(std::unique_ptr<DispatchObject> object);
  ~ComControl();

  // RPC_E_WRONG_THREAD off the creating thread.
  HRESULT CheckThread() const;
  // The type information of one of the type library's types.
  HRESULT TypeInfoOf(REFGUID guid, ITypeInfo** info);
  // Calls every connected sink with the event.
  void Fire(const control::EventInfo& event, int32_t argument);
  // Destroys the object at a moment when nothing of it runs on its thread.
  void Destroy();

  std::atomic<ULONG> m_refs{1};
  std::unique_ptr<DispatchObject> m_object;
  std::unique_ptr<EventPoint> m_events;
  ComPtr<ITypeLib> m_typeLib;  // loaded on first use
  DWORD m_safeDispatch = 0;    // the enabled safety options of the two families
  DWORD m_safePersist = 0;
  // A window of the creating thread that destroys the object there when its last reference goes
  // while one of its events runs, or on another thread.
  platform::WindowHandle m_reaper = 0;
};

}  // namespace linvo::module::com
