// The control's picture for its container (IViewObject2): drawn on the container's device
// context, with a sink told when the look changes.
#include "module/win/com_control.h"

namespace linvo::module::com {

STDMETHODIMP ComControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                              LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                              ULONG_PTR) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (dc == nullptr) return E_INVALIDARG;
  RECT area{};
  if (bounds != nullptr) {
    area = RECT{bounds->left, bounds->top, bounds->right, bounds->bottom};
  } else if (m_window == nullptr || !GetClientRect(m_window, &area)) {
    return E_INVALIDARG;  // nowhere to draw: no bounds and no window
  }
  return DrawControl(dc, area, m_ambients) ? S_OK : E_FAIL;
}

STDMETHODIMP ComControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                     LOGPALETTE** colours) {
  if (colours == nullptr) return E_POINTER;
  *colours = nullptr;
  return S_FALSE;
}

STDMETHODIMP ComControl::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP ComControl::Unfreeze(DWORD) { return OLE_E_NOCONNECTION; }

STDMETHODIMP ComControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  m_viewSink = ComPtr<IAdviseSink>(sink);
  m_viewAspects = aspects;
  m_viewFlags = flags;
  if (sink != nullptr && (flags & ADVF_PRIMEFIRST)) LookChanged();
  return S_OK;
}

STDMETHODIMP ComControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (aspects != nullptr) *aspects = m_viewAspects;
  if (flags != nullptr) *flags = m_viewFlags;
  if (sink != nullptr) *sink = ComPtr<IAdviseSink>(m_viewSink).Detach();
  return S_OK;
}

STDMETHODIMP ComControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

}  // namespace linvo::module::com
