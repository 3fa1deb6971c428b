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
#include "module/win/com_drawing.h"
#include "module/win/com_module.h"
#include "module/win/com_ptr.h"
#include "platform/message.h"

namespace linvo::module::com {

class ComControl final : public IDispatch,
                         public IConnectionPointContainer,
                         public IProvideClassInfo2,
                         public IPersistStreamInit,
                         public IPersistPropertyBag,
                         public IPersistStorage,
                         public IObjectSafety,
                         public ISupportErrorInfo,
                         public IOleObject,
                         public IOleControl,
                         public IOleInPlaceObject,
                         public IOleInPlaceActiveObject,
                         public IViewObject2,
                         public ISpecifyPropertyPages,
                         private ModuleObject {
 public:
  // Creates a control on the calling thread and answers the interface asked for.
  static HRESULT Create(REFIID riid, void** object);
  // Destroys the controls whose thread ended before it could destroy them; the module's entry
  // points call it.
  static void DestroyEndedThreadControls();

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

  // IPersistStorage (the stream's record in the storage's stream "Contents")
  STDMETHODIMP InitNew(IStorage* storage) override;
  STDMETHODIMP Load(IStorage* storage) override;
  STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
  STDMETHODIMP SaveCompleted(IStorage* storage) override;
  STDMETHODIMP HandsOffStorage() override;

  // IOleObject (com_embedding.cpp)
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD saveOption) override;
  STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                      LPCRECT rect) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP IsUpToDate() override;
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* name) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override;
  STDMETHODIMP Unadvise(DWORD connection) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** advises) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG* msg) override;
  STDMETHODIMP OnAmbientPropertyChange(DISPID dispid) override;
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

  // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override;
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
  STDMETHODIMP EnableModeless(BOOL enable) override;

  // IViewObject2 (com_view.cpp)
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                    HDC targetDc, HDC dc, LPCRECTL bounds, LPCRECTL windowBounds,
                    BOOL(STDMETHODCALLTYPE* keepGoing)(ULONG_PTR), ULONG_PTR argument) override;
  STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                           HDC targetDc, LOGPALETTE** colours) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD freeze) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

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
  static void DeferDestruction(ComControl* control);

  // Embedding (com_embedding.cpp): activation in place, as UI-active or not.
  HRESULT ActivateInPlace(bool uiActivate);
  // The look changed: the window is redrawn and the view's sink told.
  void LookChanged();
  // The in-place window's procedure.
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT msg, WPARAM w, LPARAM l);

  std::atomic<ULONG> m_refs{1};
  std::unique_ptr<DispatchObject> m_object;
  std::unique_ptr<EventPoint> m_events;
  ComPtr<ITypeLib> m_typeLib;  // loaded on first use
  DWORD m_safeDispatch = 0;    // the enabled safety options of the two families
  DWORD m_safePersist = 0;
  // A window of the creating thread that destroys the object there when its last reference goes
  // while one of its events runs, or on another thread.
  platform::WindowHandle m_reaper = 0;

  // Embedding: the container's site and what it says, the OLE and view advise sinks, the extent,
  // and the in-place state.
  ComPtr<IOleClientSite> m_clientSite;
  Ambients m_ambients;
  ComPtr<IOleAdviseHolder> m_adviseHolder;
  ComPtr<IAdviseSink> m_viewSink;
  DWORD m_viewAspects = 0;
  DWORD m_viewFlags = 0;
  SIZEL m_extent{};  // HIMETRIC
  ComPtr<IOleInPlaceSite> m_inPlaceSite;
  ComPtr<IOleInPlaceFrame> m_frame;
  ComPtr<IOleInPlaceUIWindow> m_document;
  HWND m_window = nullptr;
  bool m_uiActive = false;
  int m_frozen = 0;
};

}  // namespace linvo::module::com
