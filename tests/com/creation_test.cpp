// Creating the control as hosts do: by ProgID and by CLSID through the registered server, the
// class factory's refusals, and DllCanUnloadNow following the objects and server locks.
#include <gtest/gtest.h>

#include "com/com_support.h"
#include "support/test_env.h"

namespace linvo::test::com {
namespace {

class Creation : public ::testing::Test {
 protected:
  Apartment m_apartment;
  ScopedWorkDir m_dir;
};

TEST_F(Creation, ByProgIdAndByClsid) {
  CLSID fromProgId{};
  ASSERT_EQ(CLSIDFromProgID(kProgId, &fromProgId), S_OK);
  EXPECT_TRUE(IsEqualCLSID(fromProgId, Guid(kClsid)));
  for (const CLSID& clsid : {fromProgId, Guid(kClsid)}) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(object.Put())),
              S_OK);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Put())),
              S_OK);
    EXPECT_EQ(LongOf(Get(dispatch.Get(), L"BaudRate")), 9600);
    // IUnknown is one object whichever interface it is asked through.
    ComPtr<IUnknown> again;
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(again.Put())), S_OK);
    EXPECT_EQ(again.Get(), object.Get());
  }
}

TEST_F(Creation, FactoryRefusals) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(Guid(kClsid), CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK);
  ComPtr<IUnknown> object;
  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(outer.Put())),
            S_OK);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown,
                                    reinterpret_cast<void**>(object.Put())),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStream, reinterpret_cast<void**>(object.Put())),
            E_NOINTERFACE);
  EXPECT_EQ(object.Get(), nullptr);
  // The property page is created by its CLSID only.
  EXPECT_EQ(CoCreateInstance(Guid(kPageClsid), nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                             reinterpret_cast<void**>(object.Put())),
            S_OK);
  CLSID none{};
  EXPECT_EQ(CLSIDFromProgID(L"LINVO.LinvoPropPage.1", &none), CO_E_CLASSSTRING);
}

TEST_F(Creation, CanUnloadOnlyWithoutObjectsOrLocks) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(Guid(kClsid), CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK);
  EXPECT_EQ(CanUnloadNow(), S_OK);
  {
    ComPtr<IDispatch> ctl = CreateControl();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    ComPtr<IEnumConnectionPoints> points;
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(ctl->QueryInterface(IID_IConnectionPointContainer,
                                  reinterpret_cast<void**>(container.Put())),
              S_OK);
    ASSERT_EQ(container->EnumConnectionPoints(points.Put()), S_OK);
    ctl.Reset();
    container.Reset();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);  // the enumerator still lives
  }
  EXPECT_EQ(CanUnloadNow(), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace linvo::test::com
