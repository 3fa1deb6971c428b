// Persistence through a host's stream (IPersistStreamInit) and property bag (IPersistPropertyBag):
// the persisted properties round-trip, the settings file decides its four properties after a
// load, and a truncated, foreign or hostile stream or bag is refused with the reason as error
// information while the control keeps every value it had.
#include <gtest/gtest.h>
#include <objsafe.h>

#include <map>
#include <string>

#include "com/com_support.h"
#include "support/test_env.h"

namespace linvo::test::com {
namespace {

// A host's property bag: values by name; a name may be set to fail its read.
class TestBag final : public IPropertyBag {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyBag) ? this
                                                                                   : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    if (failing == name) return E_FAIL;
    const auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    return VariantCopy(value, &it->second.v);
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
    if (failing == name) return E_FAIL;
    values[name] = Var();
    return VariantCopy(&values[name].v, value);
  }

  std::map<std::wstring, Var> values;
  std::wstring failing;
};

// Records the errors a load reports per property.
class TestErrorLog final : public IErrorLog {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IErrorLog) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP AddError(LPCOLESTR name, EXCEPINFO* info) override {
    names.push_back(name);
    EXPECT_NE(info->bstrDescription, nullptr);
    return S_OK;
  }
  std::vector<std::wstring> names;
};

// The thread's error information: its description.
std::wstring ErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return L"";
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::wstring description = text ? text : L"";
  SysFreeString(text);
  return description;
}

ComPtr<IStream> MemoryStream(const std::string& bytes = "") {
  ComPtr<IStream> stream;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  ULONG written = 0;
  if (!bytes.empty()) {
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  }
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  return stream;
}

ULONGLONG Position(IStream* stream) {
  LARGE_INTEGER zero{};
  ULARGE_INTEGER position{};
  stream->Seek(zero, STREAM_SEEK_CUR, &position);
  return position.QuadPart;
}

std::string Bytes(IStream* stream) {
  STATSTG stat{};
  stream->Stat(&stat, STATFLAG_NONAME);
  std::string bytes(static_cast<std::size_t>(stat.cbSize.QuadPart), '\0');
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ULONG read = 0;
  stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  return bytes;
}

template <class Interface>
ComPtr<Interface> As(IUnknown* object, REFIID iid) {
  ComPtr<Interface> result;
  EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(result.Put())), S_OK);
  return result;
}

class Persistence : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : Changed()) ASSERT_EQ(Put(m_ctl.Get(), name, value).hr, S_OK);
  }

  // Values other than the defaults, one of each type.
  static std::vector<std::pair<const wchar_t*, Var>> Changed() {
    return {{L"PortNo", Var(7)},           {L"BaudRate", Var(19200)},
            {L"DataBit", Var(L"7")},       {L"DSRCheck", Var(false)},
            {L"SendData", Var(L"S1 \u00E9")}, {L"PrinterDeviceName", Var(L"lp0")}};
  }
  static void ExpectChanged(IDispatch* ctl) {
    for (const auto& [name, value] : Changed()) {
      const CallResult got = Get(ctl, name);
      EXPECT_EQ(VarCmp(const_cast<VARIANT*>(&got.value.v), const_cast<VARIANT*>(&value.v),
                       LOCALE_USER_DEFAULT, 0),
                static_cast<HRESULT>(VARCMP_EQ))
          << name;
    }
  }
  static void ExpectDefaults(IDispatch* ctl) {
    EXPECT_EQ(LongOf(Get(ctl, L"PortNo")), 1);
    EXPECT_EQ(LongOf(Get(ctl, L"BaudRate")), 9600);
    EXPECT_EQ(TextOf(Get(ctl, L"DataBit")), L"8");
    EXPECT_TRUE(BoolOf(Get(ctl, L"DSRCheck")));
    EXPECT_EQ(TextOf(Get(ctl, L"SendData")), L"");
  }

  Apartment m_apartment;
  ScopedWorkDir m_dir;
  ComPtr<IDispatch> m_ctl = CreateControl();
};

TEST_F(Persistence, StreamRoundTripReadsExactlyItsRecord) {
  auto persist = As<IPersistStreamInit>(m_ctl.Get(), IID_IPersistStreamInit);
  EXPECT_EQ(persist->IsDirty(), S_OK);
  ULARGE_INTEGER max{};
  ASSERT_EQ(persist->GetSizeMax(&max), S_OK);
  ComPtr<IStream> stream = MemoryStream();
  ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  const ULONGLONG size = Position(stream.Get());
  EXPECT_GE(max.QuadPart, size);
  // A container keeps other data after the control's.
  const std::string after = "next object";
  stream->Write(after.data(), static_cast<ULONG>(after.size()), nullptr);

  ComPtr<IDispatch> loaded = CreateControl();
  auto loader = As<IPersistStreamInit>(loaded.Get(), IID_IPersistStreamInit);
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ASSERT_EQ(loader->Load(stream.Get()), S_OK);
  EXPECT_EQ(Position(stream.Get()), size);
  ExpectChanged(loaded.Get());
  // IPersistStream is the same interface's first part; InitNew gives the defaults.
  EXPECT_TRUE(As<IPersistStream>(loaded.Get(), IID_IPersistStream));
  ASSERT_EQ(loader->InitNew(), S_OK);
  ExpectDefaults(loaded.Get());
  CLSID clsid{};
  ASSERT_EQ(loader->GetClassID(&clsid), S_OK);
  CLSID expected{};
  CLSIDFromProgID(kProgId, &expected);
  EXPECT_TRUE(IsEqualCLSID(clsid, expected));
}

TEST_F(Persistence, SettingsFileDecidesItsFourPropertiesAfterALoad) {
  ASSERT_EQ(Put(m_ctl.Get(), L"SendDelayTime", Var(50)).hr, S_OK);  // also written to Linvo.ini
  ASSERT_EQ(LongOf(Get(m_ctl.Get(), L"SendDelayTime")), 50);
  ComPtr<IStream> stream = MemoryStream();
  ASSERT_EQ(As<IPersistStreamInit>(m_ctl.Get(), IID_IPersistStreamInit)->Save(stream.Get(), TRUE),
            S_OK);
  const std::string ini = m_dir.TempDir() + "Linvo.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("Delay", "Delay", "20", ini.c_str()));
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ComPtr<IDispatch> loaded = CreateControl();
  ASSERT_EQ(As<IPersistStreamInit>(loaded.Get(), IID_IPersistStreamInit)->Load(stream.Get()),
            S_OK);
  EXPECT_EQ(LongOf(Get(loaded.Get(), L"SendDelayTime")), 20);
  EXPECT_EQ(LongOf(Get(loaded.Get(), L"PortNo")), 7);
}

TEST_F(Persistence, DamagedStreamsAreRefusedAndChangeNothing) {
  ComPtr<IStream> saved = MemoryStream();
  ASSERT_EQ(As<IPersistStreamInit>(m_ctl.Get(), IID_IPersistStreamInit)->Save(saved.Get(), TRUE),
            S_OK);
  const std::string good = Bytes(saved.Get());
  ASSERT_GT(good.size(), 40u);
  std::string bigger = good;
  bigger[8] = '\xFF';  // the payload length: far more than a record may hold
  bigger[10] = '\x7F';
  std::string newer = good;
  newer[4] = '\x02';  // major version 2
  std::string damaged = good;
  damaged[16] = '\x09';  // the first entry's kind
  struct Case {
    const char* what;
    std::string bytes;
    const wchar_t* reason;  // part of the error description
  };
  const Case cases[] = {
      {"empty", "", L"ends in the header"},
      {"cut header", good.substr(0, 5), L"ends in the header"},
      {"cut record", good.substr(0, good.size() - 3), L"ends in the properties"},
      {"foreign", std::string(64, 'x'), L"holds no linvo control"},
      {"too large", bigger, L"holds no linvo control"},
      {"newer", newer, L"holds no linvo control"},
      {"damaged entry", damaged, L"damaged"},
  };
  ComPtr<IDispatch> target = CreateControl();
  auto loader = As<IPersistStreamInit>(target.Get(), IID_IPersistStreamInit);
  ASSERT_EQ(Put(target.Get(), L"PortNo", Var(9)).hr, S_OK);
  for (const Case& c : cases) {
    ComPtr<IStream> stream = MemoryStream(c.bytes);
    EXPECT_TRUE(FAILED(loader->Load(stream.Get()))) << c.what;
    EXPECT_NE(ErrorDescription().find(c.reason), std::wstring::npos)
        << c.what << ": " << ErrorDescription().c_str();
    EXPECT_EQ(LongOf(Get(target.Get(), L"PortNo")), 9) << c.what;
  }
}

TEST_F(Persistence, PropertyBagRoundTripAndTextValues) {
  TestBag bag;
  auto persist = As<IPersistPropertyBag>(m_ctl.Get(), IID_IPersistPropertyBag);
  ASSERT_EQ(persist->Save(&bag, TRUE, TRUE), S_OK);
  EXPECT_EQ(bag.values.size(), 38u);  // the version and the 37 properties
  EXPECT_EQ(V_VT(&bag.values[L"_Version"].v), VT_I4);
  EXPECT_EQ(V_I4(&bag.values[L"_Version"].v), 0x10000);
  EXPECT_EQ(V_VT(&bag.values[L"PortNo"].v), VT_I4);
  EXPECT_EQ(V_VT(&bag.values[L"DSRCheck"].v), VT_BOOL);
  EXPECT_EQ(V_VT(&bag.values[L"SendData"].v), VT_BSTR);

  ComPtr<IDispatch> loaded = CreateControl();
  auto loader = As<IPersistPropertyBag>(loaded.Get(), IID_IPersistPropertyBag);
  ASSERT_EQ(loader->Load(&bag, nullptr), S_OK);
  ExpectChanged(loaded.Get());

  // A page's parameters are texts; what is missing takes its default.
  TestBag texts;
  texts.values[L"PortNo"] = Var(L"4");
  texts.values[L"DSRCheck"] = Var(L"False");
  ASSERT_EQ(loader->Load(&texts, nullptr), S_OK);
  EXPECT_EQ(LongOf(Get(loaded.Get(), L"PortNo")), 4);
  EXPECT_FALSE(BoolOf(Get(loaded.Get(), L"DSRCheck")));
  EXPECT_EQ(LongOf(Get(loaded.Get(), L"BaudRate")), 9600);
}

TEST_F(Persistence, HostileBagsAreRefusedAndChangeNothing) {
  struct Case {
    const wchar_t* name;
    Var value;
    bool failRead;
    HRESULT hr;
  };
  ComPtr<IDispatch> object = CreateControl();  // an object as a value
  Var asObject;
  V_VT(&asObject.v) = VT_DISPATCH;
  V_DISPATCH(&asObject.v) = object.Get();
  object->AddRef();
  const Case cases[] = {
      {L"PortNo", Var(L"abc"), false, DISP_E_TYPEMISMATCH},
      {L"BaudRate", Var(1e12), false, DISP_E_OVERFLOW},
      {L"SendData", asObject, false, DISP_E_TYPEMISMATCH},
      {L"SendData", Var(std::wstring(70000, L'x').c_str()), false, E_FAIL},
      {L"BaudRate", Var(), true, E_FAIL},
  };
  auto loader = As<IPersistPropertyBag>(m_ctl.Get(), IID_IPersistPropertyBag);
  for (const Case& c : cases) {
    TestBag bag;
    bag.values[L"PrinterDeviceName"] = Var(L"other");  // would change if the load went ahead
    if (c.failRead) {
      bag.failing = c.name;
    } else {
      bag.values[c.name] = c.value;
    }
    TestErrorLog log;
    EXPECT_EQ(loader->Load(&bag, &log), c.hr) << c.name;
    EXPECT_NE(ErrorDescription().find(c.name), std::wstring::npos) << ErrorDescription().c_str();
    if (!c.failRead) {
      EXPECT_EQ(log.names, std::vector<std::wstring>{c.name});
    }
    ExpectChanged(m_ctl.Get());
  }
  // A bag that refuses a write fails the save and leaves the control modified.
  TestBag refusing;
  refusing.failing = L"SendData";
  auto persist = As<IPersistPropertyBag>(m_ctl.Get(), IID_IPersistPropertyBag);
  EXPECT_EQ(persist->Save(&refusing, TRUE, TRUE), E_FAIL);
  EXPECT_EQ(As<IPersistStreamInit>(m_ctl.Get(), IID_IPersistStreamInit)->IsDirty(), S_OK);
}

TEST_F(Persistence, SafetyOptionsAndErrorInformation) {
  auto safety = As<IObjectSafety>(m_ctl.Get(), IID_IObjectSafety);
  constexpr DWORD kBoth = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
  for (const IID& iid :
       {IID_IDispatch, Guid(kDispatchIid), IID_IPersistStreamInit, IID_IPersistPropertyBag}) {
    DWORD supported = 0, enabled = 0;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(iid, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, kBoth);
    ASSERT_EQ(safety->SetInterfaceSafetyOptions(iid, kBoth, kBoth), S_OK);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(iid, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, kBoth);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(iid, 0x4, 0x4), E_FAIL);  // no such option
  }
  DWORD supported = 0, enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IStream, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IStream, kBoth, kBoth), E_NOINTERFACE);

  auto errors = As<ISupportErrorInfo>(m_ctl.Get(), IID_ISupportErrorInfo);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IPersistStreamInit), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IPersistPropertyBag), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
}

}  // namespace
}  // namespace linvo::test::com
