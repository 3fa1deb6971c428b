// The control on a form: sited by its container (IOleObject), told of ambient changes
// (IOleControl), activated in place as a child window of the container's window
// (IOleInPlaceObject, IOleInPlaceActiveObject), and its property page named
// (ISpecifyPropertyPages).
#include <olectl.h>

#include "control/linvo_ctrl.h"
#include "module/win/com_control.h"
#include "module/win/com_module.h"

namespace linvo::module::com {
namespace {

constexpr wchar_t kWindowClass[] = L"LinvoControlWindow";

}  // namespace

LRESULT CALLBACK ComControl::WindowProcedure(HWND window, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* control = reinterpret_cast<ComControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client{};
      GetClientRect(window, &client);
      if (control != nullptr) DrawControl(dc, client, control->m_ambients);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, msg, w, l);
}

void ComControl::LookChanged() {
  if (m_window != nullptr) InvalidateRect(m_window, nullptr, TRUE);
  if (m_viewSink && (m_viewAspects & DVASPECT_CONTENT)) {
    ComPtr<IAdviseSink> sink = m_viewSink;
    if (m_viewFlags & ADVF_ONLYONCE) m_viewSink.Reset();
    sink->OnViewChange(DVASPECT_CONTENT, -1);
  }
}

HRESULT ComControl::ActivateInPlace(bool uiActivate) {
  if (!m_clientSite) return E_UNEXPECTED;
  if (!m_inPlaceSite) {
    ComPtr<IOleInPlaceSite> site;
    if (FAILED(m_clientSite->QueryInterface(IID_IOleInPlaceSite,
                                            reinterpret_cast<void**>(site.Put())))) {
      return E_NOINTERFACE;  // a container that cannot take the control in place
    }
    if (site->CanInPlaceActivate() != S_OK) return E_FAIL;
    if (HRESULT hr = site->OnInPlaceActivate(); FAILED(hr)) return hr;
    m_inPlaceSite = site;
  }
  if (m_window == nullptr) {
    HWND parent = nullptr;
    RECT position{}, clip{};
    OLEINPLACEFRAMEINFO frameInfo{};
    frameInfo.cb = sizeof frameInfo;
    HRESULT hr = m_inPlaceSite->GetWindow(&parent);
    if (SUCCEEDED(hr)) {
      hr = m_inPlaceSite->GetWindowContext(m_frame.Put(), m_document.Put(), &position, &clip,
                                           &frameInfo);
    }
    // The in-place window's class, registered once for this module.
    static const bool registered = [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.style = CS_HREDRAW | CS_VREDRAW;
      wc.lpfnWndProc = &ComControl::WindowProcedure;
      wc.hInstance = ThisModule();
      wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      wc.lpszClassName = kWindowClass;
      return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    if (SUCCEEDED(hr) && !registered) hr = E_FAIL;
    if (SUCCEEDED(hr)) {
      m_window = CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS, position.left,
                                 position.top, position.right - position.left,
                                 position.bottom - position.top, parent, nullptr, ThisModule(),
                                 this);
      if (m_window == nullptr) hr = HRESULT_FROM_WIN32(GetLastError());
    }
    if (FAILED(hr)) {
      m_frame.Reset();
      m_document.Reset();
      m_inPlaceSite->OnInPlaceDeactivate();
      m_inPlaceSite.Reset();
      return hr;
    }
  }
  ShowWindow(m_window, SW_SHOWNA);
  if (uiActivate && !m_uiActive) {
    m_uiActive = true;
    m_inPlaceSite->OnUIActivate();
    SetFocus(m_window);
    const std::wstring name = Widen(Control().entry->typeName);
    if (m_frame) {
      m_frame->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), name.c_str());
      m_frame->SetBorderSpace(nullptr);
    }
    if (m_document) {
      m_document->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), name.c_str());
    }
  }
  return S_OK;
}

// ---- IOleObject ----

STDMETHODIMP ComControl::SetClientSite(IOleClientSite* site) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  m_clientSite = ComPtr<IOleClientSite>(site);
  m_ambients = ReadAmbients(site);
  return S_OK;
}

STDMETHODIMP ComControl::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  *site = ComPtr<IOleClientSite>(m_clientSite).Detach();
  return S_OK;
}

STDMETHODIMP ComControl::SetHostNames(LPCOLESTR, LPCOLESTR) { return CheckThread(); }

STDMETHODIMP ComControl::Close(DWORD saveOption) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  InPlaceDeactivate();
  if (saveOption == OLECLOSE_SAVEIFDIRTY && m_clientSite && m_object->Control().IsModified()) {
    m_clientSite->SaveObject();
  }
  if (m_adviseHolder) m_adviseHolder->SendOnClose();
  return S_OK;
}

STDMETHODIMP ComControl::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

STDMETHODIMP ComControl::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker != nullptr) *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ComControl::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

STDMETHODIMP ComControl::GetClipboardData(DWORD, IDataObject** data) {
  if (data != nullptr) *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ComControl::DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND parent, LPCRECT) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
      return ActivateInPlace(false);
    case OLEIVERB_UIACTIVATE:
      return ActivateInPlace(true);
    case OLEIVERB_HIDE:
      UIDeactivate();
      if (m_window != nullptr) ShowWindow(m_window, SW_HIDE);
      return S_OK;
    case OLEIVERB_PROPERTIES: {
      IUnknown* self = static_cast<IDispatch*>(this);
      CLSID page = Control().propertyPage;
      const std::wstring caption = Widen(Control().entry->typeName);
      return OleCreatePropertyFrame(parent, 0, 0, caption.c_str(), 1, &self, 1, &page,
                                    LOCALE_USER_DEFAULT, 0, nullptr);
    }
    default:
      return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
  }
}

STDMETHODIMP ComControl::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs == nullptr) return E_POINTER;
  *verbs = nullptr;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return OleRegEnumVerbs(Control().clsid, verbs);
}

STDMETHODIMP ComControl::Update() { return CheckThread(); }
STDMETHODIMP ComControl::IsUpToDate() { return CheckThread(); }

STDMETHODIMP ComControl::GetUserClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = Control().clsid;
  return S_OK;
}

STDMETHODIMP ComControl::GetUserType(DWORD, LPOLESTR* name) {
  if (name == nullptr) return E_POINTER;
  *name = TaskMemText(Widen(Control().entry->typeName));
  return *name ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP ComControl::SetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  m_extent = *size;
  return S_OK;
}

STDMETHODIMP ComControl::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = m_extent;
  return S_OK;
}

STDMETHODIMP ComControl::Advise(IAdviseSink* sink, DWORD* connection) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (!m_adviseHolder) {
    if (HRESULT hr = CreateOleAdviseHolder(m_adviseHolder.Put()); FAILED(hr)) return hr;
  }
  return m_adviseHolder->Advise(sink, connection);
}

STDMETHODIMP ComControl::Unadvise(DWORD connection) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return m_adviseHolder ? m_adviseHolder->Unadvise(connection) : OLE_E_NOCONNECTION;
}

STDMETHODIMP ComControl::EnumAdvise(IEnumSTATDATA** advises) {
  if (advises == nullptr) return E_POINTER;
  *advises = nullptr;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return m_adviseHolder ? m_adviseHolder->EnumAdvise(advises) : S_OK;
}

STDMETHODIMP ComControl::GetMiscStatus(DWORD, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = Control().entry->miscStatus;
  return S_OK;
}

STDMETHODIMP ComControl::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- IOleControl ----

STDMETHODIMP ComControl::GetControlInfo(CONTROLINFO* info) {
  if (info == nullptr) return E_POINTER;
  // No mnemonics.
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

STDMETHODIMP ComControl::OnMnemonic(MSG*) { return E_NOTIMPL; }

STDMETHODIMP ComControl::OnAmbientPropertyChange(DISPID dispid) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (dispid != DISPID_UNKNOWN && dispid != DISPID_AMBIENT_BACKCOLOR &&
      dispid != DISPID_AMBIENT_USERMODE) {
    return S_OK;
  }
  const Ambients now = ReadAmbients(m_clientSite.Get());
  if (!(now == m_ambients)) {
    m_ambients = now;
    LookChanged();
  }
  return S_OK;
}

STDMETHODIMP ComControl::FreezeEvents(BOOL freeze) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (freeze) {
    ++m_frozen;
  } else if (m_frozen > 0) {
    --m_frozen;
  }
  return S_OK;
}

// ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject ----

STDMETHODIMP ComControl::GetWindow(HWND* window) {
  if (window == nullptr) return E_POINTER;
  *window = m_window;
  return m_window ? S_OK : E_FAIL;
}

STDMETHODIMP ComControl::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP ComControl::InPlaceDeactivate() {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (!m_inPlaceSite) return S_OK;
  UIDeactivate();
  if (m_window != nullptr) {
    DestroyWindow(m_window);
    m_window = nullptr;
  }
  m_frame.Reset();
  m_document.Reset();
  ComPtr<IOleInPlaceSite> site = m_inPlaceSite;
  m_inPlaceSite.Reset();
  site->OnInPlaceDeactivate();
  return S_OK;
}

STDMETHODIMP ComControl::UIDeactivate() {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (!m_uiActive) return S_OK;
  m_uiActive = false;
  if (m_frame) m_frame->SetActiveObject(nullptr, nullptr);
  if (m_document) m_document->SetActiveObject(nullptr, nullptr);
  if (m_inPlaceSite) m_inPlaceSite->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP ComControl::SetObjectRects(LPCRECT position, LPCRECT) {
  if (position == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (m_window != nullptr) {
    MoveWindow(m_window, position->left, position->top, position->right - position->left,
               position->bottom - position->top, TRUE);
  }
  return S_OK;
}

STDMETHODIMP ComControl::ReactivateAndUndo() { return E_NOTIMPL; }
STDMETHODIMP ComControl::TranslateAccelerator(LPMSG) { return S_FALSE; }
STDMETHODIMP ComControl::OnFrameWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP ComControl::OnDocWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP ComControl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
STDMETHODIMP ComControl::EnableModeless(BOOL) { return S_OK; }

// ---- ISpecifyPropertyPages ----

STDMETHODIMP ComControl::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (pages->pElems == nullptr) {
    pages->cElems = 0;
    return E_OUTOFMEMORY;
  }
  pages->pElems[0] = Control().propertyPage;
  pages->cElems = 1;
  return S_OK;
}

}  // namespace linvo::module::com
