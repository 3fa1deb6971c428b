// Events through the connection point of _DLinvoEvents: sinks connected and enumerated, events
// delivered to every sink's Invoke on the control's thread while it handles messages, a sink
// leaving inside its event, and the control released inside its own event.
#include <gtest/gtest.h>

#include <olectl.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <vector>

#include "com/com_support.h"
#include "support/test_env.h"

namespace linvo::test::com {
namespace {

struct Heard {
  DISPID dispid;
  int32_t argument;
  DWORD thread;
};

// A host's event sink: records each event; an action may run inside it.
class Sink final : public IDispatch {
 public:
  explicit Sink(bool answersEventsIid = true) : m_answersEventsIid(answersEventsIid) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        (m_answersEventsIid && IsEqualIID(riid, Guid(kEventsIid)))) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override { return --m_refs; }  // owned by the test
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                      EXCEPINFO*, UINT*) override {
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_EQ(params->cArgs, 1u);
    EXPECT_EQ(V_VT(&params->rgvarg[0]), VT_I4);
    heard.push_back({dispid, V_I4(&params->rgvarg[0]), GetCurrentThreadId()});
    if (onEvent) onEvent(dispid);
    return S_OK;
  }

  std::vector<Heard> heard;
  std::function<void(DISPID)> onEvent;
  ULONG refs() const { return m_refs; }

 private:
  bool m_answersEventsIid;
  ULONG m_refs = 0;
};

// Only IUnknown: cannot receive events.
class Mute final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    *object = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
};

ComPtr<IConnectionPoint> EventPoint(IDispatch* ctl) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(ctl->QueryInterface(IID_IConnectionPointContainer,
                                reinterpret_cast<void**>(container.Put())),
            S_OK);
  if (container) {
    EXPECT_EQ(container->FindConnectionPoint(Guid(kEventsIid), point.Put()), S_OK);
  }
  return point;
}

class Events : public ::testing::Test {
 protected:
  Apartment m_apartment;
  ScopedWorkDir m_dir;
  ComPtr<IDispatch> m_ctl = CreateControl();
};

TEST_F(Events, ConnectionPointAndClassInformation) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(m_ctl->QueryInterface(IID_IConnectionPointContainer,
                                  reinterpret_cast<void**>(container.Put())),
            S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.Put()), CONNECT_E_NOCONNECTION);
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.Put()), S_OK);
  IConnectionPoint* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  IID iid{};
  ASSERT_EQ(listed[0]->GetConnectionInterface(&iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, Guid(kEventsIid)));
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(listed[0]->GetConnectionPointContainer(back.Put()), S_OK);
  EXPECT_EQ(back.Get(), container.Get());
  listed[0]->Release();

  // Hosts find the event interface through the class information.
  ComPtr<IProvideClassInfo2> info;
  ASSERT_EQ(m_ctl->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(info.Put())),
            S_OK);
  GUID source{};
  ASSERT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_TRUE(IsEqualIID(source, Guid(kEventsIid)));
  EXPECT_EQ(info->GetGUID(12345, &source), E_INVALIDARG);
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(info->GetClassInfo(coclass.Put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_TRUE(IsEqualCLSID(attr->guid, Guid(kClsid)));
  coclass->ReleaseTypeAttr(attr);
}

TEST_F(Events, SinksAreAdvisedEnumeratedAndUnadvised) {
  ComPtr<IConnectionPoint> point = EventPoint(m_ctl.Get());
  ASSERT_TRUE(point);
  Sink a, b(false);  // b answers IDispatch only: still served
  Mute mute;
  DWORD cookieA = 0, cookieB = 0, none = 7;
  ASSERT_EQ(point->Advise(&a, &cookieA), S_OK);
  ASSERT_EQ(point->Advise(&b, &cookieB), S_OK);
  EXPECT_EQ(point->Advise(&mute, &none), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(none, 0u);
  EXPECT_NE(cookieA, cookieB);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.Put()), S_OK);
  CONNECTDATA data[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(data[0].dwCookie, cookieA);
  EXPECT_EQ(data[1].dwCookie, cookieB);
  data[0].pUnk->Release();
  data[1].pUnk->Release();
  connections.Reset();

  EXPECT_EQ(point->Unadvise(cookieA), S_OK);
  EXPECT_EQ(point->Unadvise(cookieA), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(a.refs(), 0u);  // the control let go of it
  EXPECT_EQ(point->Unadvise(cookieB), S_OK);
  EXPECT_EQ(b.refs(), 0u);
}

// Against linvo-sim on the COM port LINVO_E2E_PORT names (--data READY --data-reply OK).
class DeviceEvents : public Events {
 protected:
  void SetUp() override {
    const char* port = std::getenv("LINVO_E2E_PORT");
    m_port = port ? std::atoi(port) : 0;
    if (m_port <= 0) GTEST_SKIP() << "LINVO_E2E_PORT names no COM port of a device";
    OpenPort(m_ctl.Get());
  }

  void OpenPort(IDispatch* ctl) {
    ASSERT_EQ(Put(ctl, L"PortNo", Var(m_port)).hr, S_OK);
    ASSERT_EQ(Put(ctl, L"BaudRate", Var(19200)).hr, S_OK);
    ASSERT_EQ(Put(ctl, L"Parity", Var(L"N")).hr, S_OK);
    ASSERT_EQ(Put(ctl, L"DSRCheck", Var(false)).hr, S_OK);
    ASSERT_EQ(Put(ctl, L"CTSCheck", Var(false)).hr, S_OK);
    ASSERT_EQ(LongOf(Call(ctl, L"lvoOpenPort")), 0);
  }

  // Sends S1 in the background: the response arrives as lvoReceiveResponseEvent.
  void SendInBackground(IDispatch* ctl) {
    ASSERT_EQ(Put(ctl, L"SendData", Var(L"S1")).hr, S_OK);
    ASSERT_EQ(LongOf(Call(ctl, L"lvoSendCommandRR", {Var(2), Var(3000)})), 1);
  }

  int m_port = 0;
};

TEST_F(DeviceEvents, BackgroundResponseReachesEverySinkOnTheControlsThread) {
  ComPtr<IConnectionPoint> point = EventPoint(m_ctl.Get());
  Sink leaves, stays;
  DWORD leavesCookie = 0, staysCookie = 0;
  std::wstring dataInEvent;
  ASSERT_EQ(point->Advise(&leaves, &leavesCookie), S_OK);
  ASSERT_EQ(point->Advise(&stays, &staysCookie), S_OK);
  // The first sink leaves inside its event; the results are in place when the event fires.
  leaves.onEvent = [&](DISPID) {
    EXPECT_EQ(point->Unadvise(leavesCookie), S_OK);
    dataInEvent = TextOf(Get(m_ctl.Get(), L"PollCmdResData"));
  };

  SendInBackground(m_ctl.Get());
  ASSERT_TRUE(PumpUntil([&] { return !stays.heard.empty(); }, 10000));
  ASSERT_EQ(leaves.heard.size(), 1u);
  EXPECT_EQ(leaves.heard[0].dispid, 2);  // lvoReceiveResponseEvent
  EXPECT_EQ(leaves.heard[0].argument, 10);
  EXPECT_EQ(leaves.heard[0].thread, GetCurrentThreadId());
  EXPECT_EQ(dataInEvent, L"READY");

  SendInBackground(m_ctl.Get());
  ASSERT_TRUE(PumpUntil([&] { return stays.heard.size() == 2; }, 10000));
  EXPECT_EQ(leaves.heard.size(), 1u);
  EXPECT_EQ(stays.heard[1].dispid, 2);
  EXPECT_EQ(stays.heard[1].argument, 10);
  EXPECT_EQ(point->Unadvise(staysCookie), S_OK);
  EXPECT_EQ(LongOf(Call(m_ctl.Get(), L"lvoClosePort")), 0);
}

TEST_F(DeviceEvents, ControlReleasedInsideItsOwnEvent) {
  Sink sink;
  DWORD cookie = 0;
  {
    ComPtr<IConnectionPoint> point = EventPoint(m_ctl.Get());
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  }
  sink.onEvent = [&](DISPID) { m_ctl.Reset(); };  // the host's last reference
  SendInBackground(m_ctl.Get());
  ASSERT_TRUE(PumpUntil([&] { return !sink.heard.empty(); }, 10000));
  // The control goes once its event has returned, closing its port and letting the sink go.
  ASSERT_TRUE(PumpUntil([&] { return sink.refs() == 0; }, 5000));
  ComPtr<IDispatch> next = CreateControl();
  OpenPort(next.Get());
  EXPECT_EQ(LongOf(Call(next.Get(), L"lvoClosePort")), 0);
}

}  // namespace
}  // namespace linvo::test::com
