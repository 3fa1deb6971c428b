// Dispatch by name and DISPID: gets, puts and method calls with variant arguments, the
// automation coercions and the dispatch errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "control/linvo_ctrl.h"
#include "module/class_table.h"
#include "module/dispatch_object.h"
#include "support/test_env.h"

namespace linvo::module {
namespace {

using ::testing::HasSubstr;

constexpr int32_t kGet = LVO_PROPERTYGET;
constexpr int32_t kPut = LVO_PROPERTYPUT;
constexpr int32_t kCall = LVO_METHOD;

Variant L(int64_t v) { return Variant::Long(v); }
Variant B(bool v) { return Variant::Bool(v); }
Variant T(const char* v) { return Variant::Text(v); }
const Variant kEmpty{};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Status s = CreateObject("LINVO.LinvoCtrl.1", &m_object);
    ASSERT_TRUE(s.ok()) << s.message;
  }
  Variant Get(const char* name) {
    int32_t dispid = 0;
    EXPECT_TRUE(m_object->GetDispid(name, &dispid).ok()) << name;
    Variant value;
    const Status s = m_object->Invoke(dispid, kGet, {}, &value);
    EXPECT_TRUE(s.ok()) << s.message;
    return value;
  }

  test::ScopedWorkDir m_dir;
  std::unique_ptr<DispatchObject> m_object;
};

struct DispatchCase {
  const char* title;
  const char* member;  // by name, or by `dispid` when null
  int32_t dispid;
  int32_t flags;
  std::vector<Variant> args;
  int32_t code;
  Variant result;        // of a get or a call
  const char* readBack;  // a property read afterwards (null: none)
  Variant readBackValue;
  const char* messagePart = "";  // of an error's text
};

TEST_F(DispatchTest, GetPutAndCallTable) {
  const DispatchCase cases[] = {
      // Gets and calls, by name and by DISPID.
      {"get by name", "PortNo", 0, kGet, {}, LVO_OK, L(1), nullptr, {}},
      {"get by DISPID", nullptr, 3, kGet, {}, LVO_OK, L(9600), nullptr, {}},
      {"get a BOOL gives -1", "DSRCheck", 0, kGet, {}, LVO_OK, B(true), nullptr, {}},
      {"get text", "Parity", 0, kGet, {}, LVO_OK, T("E"), nullptr, {}},
      {"call by name", "lvoComBufferClear", 0, kCall, {L(3)}, LVO_OK, L(100), nullptr, {}},
      {"call by DISPID, text argument", nullptr, 47, kCall, {T("3")}, LVO_OK, L(100), nullptr, {}},
      {"call as a get", "lvoComBufferClear", 0, kGet, {L(3)}, LVO_OK, L(100), nullptr, {}},
      {"call as get and method",
       "lvoComBufferClear",
       0,
       kGet | kCall,
       {L(3)},
       LVO_OK,
       L(100),
       nullptr,
       {}},
      {"property read as a method", "PortNo", 0, kCall, {}, LVO_OK, L(1), nullptr, {}},
      {"method without result", "lvoResPropertyClear", 0, kCall, {}, LVO_OK, kEmpty, nullptr, {}},
      {"text method", "lvoDataSumCalc", 0, kCall, {T("AB")}, LVO_OK, T("83"), nullptr, {}},
      // Puts with coercion.
      {"put long", "PortNo", 0, kPut, {L(7)}, LVO_OK, kEmpty, "PortNo", L(7)},
      {"put text to long", "PortNo", 0, kPut, {T("12")}, LVO_OK, kEmpty, "PortNo", L(12)},
      {"put text with blanks", "PortNo", 0, kPut, {T(" 34 ")}, LVO_OK, kEmpty, "PortNo", L(34)},
      {"fraction rounds half to even",
       "PortNo",
       0,
       kPut,
       {T("2.5")},
       LVO_OK,
       kEmpty,
       "PortNo",
       L(2)},
      {"put number to text", "SendData", 0, kPut, {L(-42)}, LVO_OK, kEmpty, "SendData", T("-42")},
      {"put bool to text", "SendData", 0, kPut, {B(true)}, LVO_OK, kEmpty, "SendData", T("-1")},
      {"put bool to long",
       "ResponseTimer",
       0,
       kPut,
       {B(false)},
       LVO_OK,
       kEmpty,
       "ResponseTimer",
       L(0)},
      {"put false", "DSRCheck", 0, kPut, {B(false)}, LVO_OK, kEmpty, "DSRCheck", B(false)},
      {"put long 0 to BOOL", "DSRCheck", 0, kPut, {L(0)}, LVO_OK, kEmpty, "DSRCheck", B(false)},
      {"put text False to BOOL",
       "CTSCheck",
       0,
       kPut,
       {T("false")},
       LVO_OK,
       kEmpty,
       "CTSCheck",
       B(false)},
      {"put empty to long",
       "ResponseTimer",
       0,
       kPut,
       {kEmpty},
       LVO_OK,
       kEmpty,
       "ResponseTimer",
       L(0)},
      {"put empty to text", "SendData", 0, kPut, {kEmpty}, LVO_OK, kEmpty, "SendData", T("")},
      {"largest long",
       "ACKTimer",
       0,
       kPut,
       {L(2147483647)},
       LVO_OK,
       kEmpty,
       "ACKTimer",
       L(2147483647)},
      // Refused puts are successes that change nothing.
      {"refused value", "BaudRate", 0, kPut, {L(14400)}, LVO_OK, kEmpty, "BaudRate", L(9600)},
      {"read-only in effect",
       "ReceiveData",
       0,
       kPut,
       {T("x")},
       LVO_OK,
       kEmpty,
       "ReceiveData",
       T("")},
      {"read-only in effect, by DISPID", nullptr, 14, kPut, {T("9")}, LVO_OK, kEmpty, nullptr, {}},
      // Dispatch errors.
      {"unknown DISPID", nullptr, 99, kGet, {}, LVO_E_MEMBERNOTFOUND, kEmpty, nullptr, {}, "99"},
      {"DISPID 0", nullptr, 0, kGet, {}, LVO_E_MEMBERNOTFOUND, kEmpty, nullptr, {}, "DISPID 0"},
      {"put on a method",
       "lvoOpenPort",
       0,
       kPut,
       {L(1)},
       LVO_E_MEMBERNOTFOUND,
       kEmpty,
       nullptr,
       {},
       "is a method"},
      {"too few arguments",
       "lvoSendCommandRR",
       0,
       kCall,
       {L(2)},
       LVO_E_BADPARAMCOUNT,
       kEmpty,
       nullptr,
       {},
       "(iRecMode, lBusyTimeOut), got 1"},
      {"too many arguments",
       "lvoOpenPort",
       0,
       kCall,
       {L(2)},
       LVO_E_BADPARAMCOUNT,
       kEmpty,
       nullptr,
       {},
       "takes 0 arguments"},
      {"arguments to a property",
       "PortNo",
       0,
       kGet,
       {L(1)},
       LVO_E_BADPARAMCOUNT,
       kEmpty,
       nullptr,
       {},
       "'PortNo'"},
      {"put without a value",
       "PortNo",
       0,
       kPut,
       {},
       LVO_E_BADPARAMCOUNT,
       kEmpty,
       "PortNo",
       L(1),
       "one value"},
      {"text that is no number",
       "ACKTimer",
       0,
       kPut,
       {T("abc")},
       LVO_E_TYPEMISMATCH,
       kEmpty,
       "ACKTimer",
       L(1000),
       "\"abc\""},
      {"empty text as a number",
       "ACKTimer",
       0,
       kPut,
       {T("")},
       LVO_E_TYPEMISMATCH,
       kEmpty,
       "ACKTimer",
       L(1000),
       "not a number"},
      {"text that is no boolean",
       "DSRCheck",
       0,
       kPut,
       {T("yes")},
       LVO_E_TYPEMISMATCH,
       kEmpty,
       "DSRCheck",
       B(true),
       "not a boolean"},
      {"argument type mismatch",
       "lvoComBufferClear",
       0,
       kCall,
       {T("1x")},
       LVO_E_TYPEMISMATCH,
       kEmpty,
       nullptr,
       {},
       "argument 1 (lTxRxFlag)"},
      {"number above 32 bits",
       "ACKTimer",
       0,
       kPut,
       {L(5000000000)},
       LVO_E_OVERFLOW,
       kEmpty,
       "ACKTimer",
       L(1000),
       "5000000000"},
      {"text below 32 bits",
       "ACKTimer",
       0,
       kPut,
       {T("-2147483649")},
       LVO_E_OVERFLOW,
       kEmpty,
       "ACKTimer",
       L(1000),
       "outside the 32-bit range"},
      {"huge text number",
       "PortNo",
       0,
       kPut,
       {T("1e400")},
       LVO_E_OVERFLOW,
       kEmpty,
       "PortNo",
       L(1),
       ""},
      {"put and get together",
       "PortNo",
       0,
       kPut | kGet,
       {L(3)},
       LVO_E_INVALIDARG,
       kEmpty,
       "PortNo",
       L(1),
       "flags"},
      {"no flags", "PortNo", 0, 0, {}, LVO_E_INVALIDARG, kEmpty, nullptr, {}, "flags"},
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(c.title);
    SetUp();  // a fresh control for each case
    int32_t dispid = c.dispid;
    if (c.member != nullptr) {
      ASSERT_TRUE(m_object->GetDispid(c.member, &dispid).ok());
    }
    Variant result = T("unset");
    const Status s = m_object->Invoke(dispid, c.flags, c.args, &result);
    EXPECT_EQ(s.code, c.code) << s.message;
    EXPECT_THAT(s.message, HasSubstr(c.messagePart));
    if (c.code == LVO_OK) {
      EXPECT_EQ(result, c.result);
    }
    if (c.readBack != nullptr) {
      EXPECT_EQ(Get(c.readBack), c.readBackValue);
    }
  }
}

TEST_F(DispatchTest, NamesAreCaseInsensitive) {
  const std::pair<const char*, int32_t> known[] = {{"PortNo", 2},
                                                   {"portno", 2},
                                                   {"PORTNO", 2},
                                                   {"lvosendcommandrr", 40},
                                                   {"LVOJISCONVSJIS", 58}};
  for (const auto& [name, expected] : known) {
    int32_t dispid = 0;
    EXPECT_TRUE(m_object->GetDispid(name, &dispid).ok()) << name;
    EXPECT_EQ(dispid, expected) << name;
  }
  for (const char* unknown : {"PortNumber", "", "lvoOpenPort "}) {
    int32_t dispid = -5;
    const Status s = m_object->GetDispid(unknown, &dispid);
    EXPECT_EQ(s.code, LVO_E_UNKNOWNNAME) << unknown;
    EXPECT_THAT(s.message, HasSubstr(std::string("'") + unknown + "'"));
    EXPECT_EQ(dispid, -5);
  }
}

// Hosts send TRUE as -1; inside the control a BOOL property holds 1, which is what its checks
// test for.
TEST_F(DispatchTest, TrueIsOneInsideTheControl) {
  const std::pair<const char*, Variant> puts[] = {
      {"DSRCheck", B(true)}, {"CTSCheck", L(-1)}, {"AutoHandshake", T("-1")}};
  for (const auto& [name, value] : puts) {
    int32_t dispid = 0;
    ASSERT_TRUE(m_object->GetDispid(name, &dispid).ok());
    ASSERT_TRUE(m_object->Invoke(dispid, kPut, {{B(false)}}, nullptr).ok());
    ASSERT_TRUE(m_object->Invoke(dispid, kPut, {{value}}, nullptr).ok());
  }
  const control::ControlProperties& p = m_object->Control().Properties();
  EXPECT_EQ(p.DSRCheck, 1);
  EXPECT_EQ(p.CTSCheck, 1);
  EXPECT_EQ(p.AutoHandshake, 1);
}

TEST_F(DispatchTest, RefusedPutStillMarksTheControlModified) {
  ASSERT_FALSE(m_object->Control().IsModified());
  int32_t dispid = 0;
  ASSERT_TRUE(m_object->GetDispid("Version", &dispid).ok());
  ASSERT_TRUE(m_object->Invoke(dispid, kPut, {{T("9.9")}}, nullptr).ok());
  EXPECT_TRUE(m_object->Control().IsModified());
}

}  // namespace
}  // namespace linvo::module
