// The control's connection point for _DLinvoEvents: the sinks hosts connect, and the events
// delivered to them on the control's thread.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "control/member_table.h"
#include "module/win/com_control.h"
#include "module/win/com_ptr.h"

namespace linvo::module::com {

// Lives inside its control and shares its reference count.
class ComControl::EventPoint final : public IConnectionPoint {
 public:
  explicit EventPoint(ComControl& owner) : m_owner(owner) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return m_owner.AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_owner.Release(); }

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

  // Calls each sink's Invoke with the event's DISPID and its one VT_I4 argument. A sink that
  // disconnects itself or another one during the event is not called afterwards.
  void Fire(const control::EventInfo& event, int32_t argument);

 private:
  struct Sink {
    DWORD cookie;
    ComPtr<IUnknown> unknown;  // what the host advised
    ComPtr<IDispatch> dispatch;
  };

  ComControl& m_owner;
  std::vector<Sink> m_sinks;
  DWORD m_nextCookie = 1;
};

}  // namespace linvo::module::com
