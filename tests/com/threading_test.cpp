// The control is apartment-threaded: a raw call from another thread is refused, and a call
// marshalled to its apartment by the system's dispatch marshaller is served on its thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "com/com_support.h"
#include "support/test_env.h"

namespace linvo::test::com {
namespace {

class Threading : public ::testing::Test {
 protected:
  Apartment m_apartment;
  ScopedWorkDir m_dir;
  ComPtr<IDispatch> m_ctl = CreateControl();
};

TEST_F(Threading, CallsFromAnotherThreadWithoutMarshallingAreRefused) {
  IDispatch* raw = m_ctl.Get();
  ComPtr<IPersistStreamInit> persist;
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(raw->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(persist.Put())),
            S_OK);
  ASSERT_EQ(raw->QueryInterface(IID_IConnectionPointContainer,
                                reinterpret_cast<void**>(container.Put())),
            S_OK);
  std::vector<HRESULT> results;
  std::thread([&] {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"PortNo")};
    results.push_back(raw->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Var result;
    results.push_back(
        raw->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result.v, nullptr, nullptr));
    results.push_back(persist->IsDirty());
    ComPtr<IConnectionPoint> point;
    results.push_back(container->FindConnectionPoint(IID_IDispatch, point.Put()));
  }).join();
  EXPECT_EQ(results, std::vector<HRESULT>(4, RPC_E_WRONG_THREAD));
  EXPECT_EQ(LongOf(Get(m_ctl.Get(), L"PortNo")), 1);  // its own thread is still served
}

TEST_F(Threading, MarshalledCallsAreServedOnTheControlsThread) {
  for (const IID& iid : {IID_IDispatch, Guid(kDispatchIid)}) {
    IStream* stream = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(iid, m_ctl.Get(), &stream), S_OK);
    std::atomic<bool> done{false};
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HRESULT unmarshalled = E_FAIL;
    CallResult put, got;
    std::thread worker([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ComPtr<IDispatch> proxy;
      unmarshalled = CoGetInterfaceAndReleaseStream(stream, iid,
                                                    reinterpret_cast<void**>(proxy.Put()));
      if (SUCCEEDED(unmarshalled)) {
        put = Put(proxy.Get(), L"PortNo", Var(L"7"));
        got = Get(proxy.Get(), L"PortNo");
      }
      proxy.Reset();
      CoUninitialize();
      done = true;
      SetEvent(finished);
    });
    // The control's thread serves the calls while it handles its messages.
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 20000, finished));
    worker.join();
    CloseHandle(finished);
    ASSERT_EQ(unmarshalled, S_OK);
    EXPECT_EQ(put.hr, S_OK);
    EXPECT_EQ(LongOf(got), 7);
    EXPECT_EQ(LongOf(Get(m_ctl.Get(), L"PortNo")), 7);
    ASSERT_EQ(Put(m_ctl.Get(), L"PortNo", Var(1)).hr, S_OK);
  }
}

// A host that lets go of its last reference on the wrong thread: the control is destroyed on its
// own thread when that thread next handles its messages, not under the other thread.
TEST_F(Threading, LastReleaseOnAnotherThreadDestroysOnTheControlsThread) {
  IDispatch* raw = m_ctl.Detach();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  std::thread([raw] { raw->Release(); }).join();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  EXPECT_TRUE(PumpUntil([] { return CanUnloadNow() == S_OK; }, 5000));
}

// The creating thread ends while a release from another thread waits for it: the control is
// destroyed by the module's next entry, not under the ending thread, and nothing hangs.
TEST_F(Threading, ReleaseWaitingForAnEndedThreadHappensAtTheNextEntry) {
  IDispatch* raw = nullptr;
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    raw = CreateControl().Detach();
    SetEvent(created);
    WaitForSingleObject(released, 10000);  // ends without handling its messages
  });
  WaitForSingleObject(created, 10000);
  ASSERT_NE(raw, nullptr);
  raw->Release();  // the wrong thread: queued for the owner
  SetEvent(released);
  owner.join();
  CloseHandle(created);
  CloseHandle(released);
  m_ctl.Reset();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace linvo::test::com
