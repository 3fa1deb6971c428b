#include "module/win/com_events.h"

#include <olectl.h>

#include <algorithm>

#include "module/win/com_enum.h"

namespace linvo::module::com {

STDMETHODIMP ComControl::EventPoint::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  *object = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP ComControl::EventPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = Control().events;
  return S_OK;
}

STDMETHODIMP ComControl::EventPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  *container = static_cast<IConnectionPointContainer*>(&m_owner);
  m_owner.AddRef();
  return S_OK;
}

STDMETHODIMP ComControl::EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return E_POINTER;
  if (HRESULT hr = m_owner.CheckThread(); FAILED(hr)) return hr;
  // The sink answers the event interface; hosts whose sinks answer only IDispatch are served too.
  ComPtr<IDispatch> dispatch;
  if (FAILED(sink->QueryInterface(Control().events, reinterpret_cast<void**>(dispatch.Put()))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Put())))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  try {
    m_sinks.push_back(Sink{m_nextCookie, ComPtr<IUnknown>(sink), std::move(dispatch)});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  *cookie = m_nextCookie++;
  return S_OK;
}

STDMETHODIMP ComControl::EventPoint::Unadvise(DWORD cookie) {
  if (HRESULT hr = m_owner.CheckThread(); FAILED(hr)) return hr;
  const auto it = std::find_if(m_sinks.begin(), m_sinks.end(),
                               [cookie](const Sink& s) { return s.cookie == cookie; });
  if (it == m_sinks.end()) return CONNECT_E_NOCONNECTION;
  Sink gone = std::move(*it);  // released after the list no longer names it
  m_sinks.erase(it);
  return S_OK;
}

STDMETHODIMP ComControl::EventPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) return E_POINTER;
  *connections = nullptr;
  if (HRESULT hr = m_owner.CheckThread(); FAILED(hr)) return hr;
  std::vector<CONNECTDATA> items;
  try {
    items.reserve(m_sinks.size());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (const Sink& s : m_sinks) {
    s.unknown->AddRef();
    items.push_back(CONNECTDATA{s.unknown.Get(), s.cookie});
  }
  return Enumerator<IEnumConnections, CONNECTDATA>::Create(IID_IEnumConnections,
                                                           std::move(items), connections);
}

void ComControl::EventPoint::Fire(const control::EventInfo& event, int32_t argument) {
  const std::vector<Sink> snapshot = m_sinks;
  for (const Sink& sink : snapshot) {
    const bool connected = std::any_of(m_sinks.begin(), m_sinks.end(), [&](const Sink& s) {
      return s.cookie == sink.cookie;
    });
    if (!connected) continue;
    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_I4;
    V_I4(&arg) = argument;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    UINT argError = 0;
    sink.dispatch->Invoke(event.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                          &result, &exception, &argError);
    VariantClear(&result);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
  }
}

// ---- the container ----

// Events the container froze (IOleControl::FreezeEvents) are dropped.
void ComControl::Fire(const control::EventInfo& event, int32_t argument) {
  if (m_frozen == 0) m_events->Fire(event, argument);
}

STDMETHODIMP ComControl::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points == nullptr) return E_POINTER;
  *points = nullptr;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  IConnectionPoint* point = m_events.get();
  point->AddRef();
  std::vector<IConnectionPoint*> items;
  try {
    items.push_back(point);
  } catch (const std::bad_alloc&) {
    point->Release();
    return E_OUTOFMEMORY;
  }
  return Enumerator<IEnumConnectionPoints, IConnectionPoint*>::Create(
      IID_IEnumConnectionPoints, std::move(items), points);
}

STDMETHODIMP ComControl::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (!IsEqualIID(riid, Control().events)) return CONNECT_E_NOCONNECTION;
  *point = m_events.get();
  (*point)->AddRef();
  return S_OK;
}

}  // namespace linvo::module::com
