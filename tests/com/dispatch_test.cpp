// IDispatch on the control as automation hosts call it: names in any case, values coerced as
// automation coerces them, and every error with its code, the argument at fault and a message.
#include <gtest/gtest.h>

#include "com/com_support.h"
#include "support/test_env.h"

namespace linvo::test::com {
namespace {

class Dispatch : public ::testing::Test {
 protected:
  Apartment m_apartment;
  ScopedWorkDir m_dir;
  ComPtr<IDispatch> m_ctl = CreateControl();
};

TEST_F(Dispatch, NamesResolveInAnyCaseAndParametersByName) {
  struct Case {
    std::vector<const wchar_t*> names;
    HRESULT hr;
    std::vector<DISPID> ids;
  };
  const Case cases[] = {
      {{L"PortNo"}, S_OK, {2}},
      {{L"portno"}, S_OK, {2}},
      {{L"LVOSENDCOMMANDRR"}, S_OK, {40}},
      {{L"lvoSendCommandRR", L"LBUSYTIMEOUT", L"iRecMode"}, S_OK, {40, 1, 0}},
      {{L"lvoSendCommandRR", L"lTimeout"}, DISP_E_UNKNOWNNAME, {40, DISPID_UNKNOWN}},
      {{L"NoSuchMember"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
      {{L"Port\u00D1o"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
  };
  for (const Case& c : cases) {
    std::vector<DISPID> ids(c.names.size(), 12345);
    const HRESULT hr = m_ctl->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(c.names.data()),
                                            static_cast<UINT>(c.names.size()),
                                            LOCALE_USER_DEFAULT, ids.data());
    EXPECT_EQ(hr, c.hr) << c.names[0];
    EXPECT_EQ(ids, c.ids) << c.names[0];
  }
}

TEST_F(Dispatch, PutValuesAreCoercedToThePropertysType) {
  VARIANT inner;
  VariantInit(&inner);
  V_VT(&inner) = VT_BSTR;
  V_BSTR(&inner) = SysAllocString(L"XY");
  struct Case {
    const wchar_t* property;
    Var value;
    Var expected;
  };
  const Case cases[] = {
      {L"PortNo", Var(L" 5 "), Var(5)},          // text as a number
      {L"PortNo", Var(2.5), Var(2)},             // rounded half to even
      {L"PortNo", Var(3.5), Var(4)},
      {L"BaudRate", Var(14400), Var(9600)},      // refused by the control: keeps its value
      {L"BaudRate", Var(L"19200"), Var(19200)},
      {L"SendData", Var(42), Var(L"42")},        // a number as text
      {L"SendData", Var::Ref(&inner), Var(L"XY")},  // by reference, as VBScript passes variables
      {L"DSRCheck", Var(L"False"), Var(false)},
      {L"DSRCheck", Var(7), Var(true)},          // nonzero is true, read back as VARIANT_TRUE
      {L"CTSCheck", Var(0), Var(false)},
  };
  for (const Case& c : cases) {
    const CallResult put = Put(m_ctl.Get(), c.property, c.value);
    ASSERT_EQ(put.hr, S_OK) << c.property;
    const CallResult got = Get(m_ctl.Get(), c.property);
    ASSERT_EQ(got.hr, S_OK) << c.property;
    EXPECT_EQ(V_VT(&got.value.v), V_VT(&c.expected.v)) << c.property;
    EXPECT_EQ(VarCmp(const_cast<VARIANT*>(&got.value.v), const_cast<VARIANT*>(&c.expected.v),
                     LOCALE_USER_DEFAULT, 0),
              static_cast<HRESULT>(VARCMP_EQ))
        << c.property;
  }
  VariantClear(&inner);
}

TEST_F(Dispatch, MethodsTakeCoercedArgumentsAndReturnTheirTypes) {
  EXPECT_EQ(TextOf(Call(m_ctl.Get(), L"lvoCharAscHConv", {Var(0), Var(L"AB")})), L"4142");
  EXPECT_EQ(TextOf(Call(m_ctl.Get(), L"lvoCharAscHConv", {Var(L"1"), Var(L"4142")})), L"AB");
  EXPECT_EQ(TextOf(Call(m_ctl.Get(), L"lvoDataSumCalc", {Var(L"AB")})), L"83");
  EXPECT_EQ(LongOf(Call(m_ctl.Get(), L"lvoComBufferClear", {Var(3)})), 100);
  const CallResult cleared = Call(m_ctl.Get(), L"lvoResPropertyClear");
  EXPECT_EQ(cleared.hr, S_OK);
  EXPECT_EQ(V_VT(&cleared.value.v), VT_EMPTY);
  // A property read with the method flag, as Visual Basic reads a property without parentheses.
  EXPECT_EQ(LongOf(Invoke(m_ctl.Get(), L"PortNo", DISPATCH_METHOD | DISPATCH_PROPERTYGET)), 1);
}

TEST_F(Dispatch, NamedArgumentsGoToTheirParameters) {
  DISPID ids[3];
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"lvoCharAscHConv"),
                      const_cast<LPOLESTR>(L"csQConvStr"), const_cast<LPOLESTR>(L"lConvMode")};
  ASSERT_EQ(m_ctl->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids), S_OK);
  const Var text(L"AB"), mode(0);
  VARIANT values[2] = {text.v, mode.v};  // csQConvStr first, lConvMode second: out of order
  DISPID named[] = {ids[1], ids[2]};
  DISPPARAMS params{values, named, 2, 2};
  Var result;
  ASSERT_EQ(m_ctl->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                          &result.v, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(V_VT(&result.v), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&result.v), L"4142");
}

TEST_F(Dispatch, ErrorsCarryTheirCodeTheArgumentAtFaultAndAMessage) {
  struct Case {
    const wchar_t* member;
    WORD flags;
    std::vector<Var> args;
    HRESULT code;
    UINT argError;  // ~0u: not set
    const wchar_t* message;
  };
  const Case cases[] = {
      {L"PortNo", DISPATCH_PROPERTYPUT, {Var(L"abc")}, DISP_E_TYPEMISMATCH, 0,
       L"'PortNo': type mismatch: text \"abc\" is not a long"},
      {L"PortNo", DISPATCH_PROPERTYPUT, {Var(1e12)}, DISP_E_OVERFLOW, 0,
       L"'PortNo': overflow: number 1000000000000 is outside the range of a long"},
      {L"lvoSendCommandRR", DISPATCH_METHOD, {Var(L"x"), Var(3000)}, DISP_E_TYPEMISMATCH, 1,
       L"'lvoSendCommandRR' argument 1 (iRecMode): type mismatch: text \"x\" is not a long"},
      {L"lvoSendCommandRR", DISPATCH_METHOD, {Var(0), Var(L"y")}, DISP_E_TYPEMISMATCH, 0,
       L"'lvoSendCommandRR' argument 2 (lBusyTimeOut): type mismatch: text \"y\" is not a long"},
      {L"lvoSendCommandRR", DISPATCH_METHOD, {Var(0)}, DISP_E_BADPARAMCOUNT, ~0u,
       L"'lvoSendCommandRR' takes 2 arguments (iRecMode, lBusyTimeOut), got 1"},
      {L"lvoSendCommandRR", DISPATCH_METHOD, {Var::Missing(), Var(3000)},
       DISP_E_PARAMNOTOPTIONAL, 1,
       L"'lvoSendCommandRR': argument 1 (iRecMode) is not optional"},
      {L"lvoOpenPort", DISPATCH_PROPERTYPUT, {Var(1)}, DISP_E_MEMBERNOTFOUND, ~0u,
       L"'lvoOpenPort' is a method; it cannot be assigned"},
      {L"PortNo", DISPATCH_PROPERTYGET, {Var(1)}, DISP_E_BADPARAMCOUNT, ~0u,
       L"'PortNo' is a property; it takes no arguments, got 1"},
  };
  for (const Case& c : cases) {
    const CallResult plain = Invoke(m_ctl.Get(), c.member, c.flags, c.args, false);
    EXPECT_EQ(plain.hr, c.code) << c.message;
    EXPECT_EQ(plain.argError, c.argError) << c.message;
    const CallResult raised = Invoke(m_ctl.Get(), c.member, c.flags, c.args, true);
    EXPECT_EQ(raised.hr, DISP_E_EXCEPTION) << c.message;
    EXPECT_EQ(raised.scode, c.code) << c.message;
    EXPECT_EQ(raised.source, kProgId);
    EXPECT_EQ(raised.description, c.message);
  }
  // The property keeps its value after a refused conversion.
  EXPECT_EQ(LongOf(Get(m_ctl.Get(), L"PortNo")), 1);
}

TEST_F(Dispatch, CallsOutsideTheInterfaceAreRefused) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Var result;
  EXPECT_EQ(m_ctl->Invoke(99, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result.v,
                          nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(m_ctl->Invoke(2, IID_IDispatch, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                          &result.v, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(m_ctl->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, nullptr,
                          &result.v, nullptr, nullptr),
            E_INVALIDARG);
  DISPPARAMS missing{nullptr, nullptr, 1, 0};  // one argument and no array
  EXPECT_EQ(m_ctl->Invoke(47, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &missing,
                          &result.v, nullptr, nullptr),
            E_INVALIDARG);
}

TEST_F(Dispatch, TypeInformationIsTheDispatchInterface) {
  UINT count = 0;
  ASSERT_EQ(m_ctl->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(m_ctl->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()), S_OK);
  BSTR name = nullptr;
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_STREQ(name, L"_DLinvo");
  SysFreeString(name);
  // The type information finds the members by name as the control does.
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"ReceiveData")};
  MEMBERID id = 0;
  ASSERT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK);
  EXPECT_EQ(id, 17);
  EXPECT_EQ(m_ctl->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.Put()), DISP_E_BADINDEX);
}

// A careless host: null pointers get E_POINTER, a text of 16 million characters is carried whole.
TEST_F(Dispatch, NullPointersAndHugeTexts) {
  EXPECT_EQ(m_ctl->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
  EXPECT_EQ(m_ctl->GetTypeInfoCount(nullptr), E_POINTER);
  EXPECT_EQ(m_ctl->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr), E_POINTER);
  DISPID id = 0;
  EXPECT_EQ(m_ctl->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id), E_POINTER);
  LPOLESTR nullName[] = {nullptr};
  EXPECT_EQ(m_ctl->GetIDsOfNames(IID_NULL, nullName, 1, LOCALE_USER_DEFAULT, &id),
            DISP_E_UNKNOWNNAME);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(m_ctl->QueryInterface(IID_IConnectionPointContainer,
                                  reinterpret_cast<void**>(container.Put())),
            S_OK);
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, nullptr), E_POINTER);

  const std::wstring huge(16 << 20, L'Z');
  Var text;
  V_VT(&text.v) = VT_BSTR;
  V_BSTR(&text.v) = SysAllocStringLen(huge.data(), static_cast<UINT>(huge.size()));
  ASSERT_EQ(Put(m_ctl.Get(), L"SendData", text).hr, S_OK);
  const CallResult got = Get(m_ctl.Get(), L"SendData");
  ASSERT_EQ(V_VT(&got.value.v), VT_BSTR);
  EXPECT_EQ(SysStringLen(V_BSTR(&got.value.v)), huge.size());
  EXPECT_EQ(TextOf(Call(m_ctl.Get(), L"lvoDataSumCalc", {Var(L"")})), L"00");
}

// Text reaches the control as narrow text in the ANSI code page: on a Japanese system the
// half-width katakana U+FF71 is the Shift_JIS byte B1, and comes back as the same character.
TEST_F(Dispatch, TextCrossesAsTheAnsiCodePage) {
  if (GetACP() != 932) {
    GTEST_SKIP() << "the ANSI code page is " << GetACP()
                 << ", not 932 (Japanese); run with LC_ALL=ja_JP.UTF-8 under Wine";
  }
  EXPECT_EQ(TextOf(Call(m_ctl.Get(), L"lvoCharAscHConv", {Var(0), Var(L"\uFF71\u3044")})),
            L"B182A2");
  EXPECT_EQ(TextOf(Call(m_ctl.Get(), L"lvoCharAscHConv", {Var(1), Var(L"B182A2")})),
            L"\uFF71\u3044");
  ASSERT_EQ(Put(m_ctl.Get(), L"SendData", Var(L"\uFF71")).hr, S_OK);
  EXPECT_EQ(TextOf(Get(m_ctl.Get(), L"SendData")), L"\uFF71");
}

}  // namespace
}  // namespace linvo::test::com
