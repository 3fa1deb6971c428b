// The C interface's own rules: values in and out, byte strings passed unchanged, the thread's
// error status and text, argument checks, how messages quote the caller's text, and the thread
// rule.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "c_api_fixture.h"

namespace linvo::module {
namespace {

using ::testing::HasSubstr;

TEST_F(CApiTest, ByteStringsPassUnchanged) {
  Create();
  // Shift_JIS and JIS bytes, a zero byte and 0xFF: none of them is converted or cut.
  const std::string bytes("\x93\xfa\x96\x7b\x1b\x24\x42\x30\x21\x00\xff", 11);
  Put("SendData", TextValue(bytes));
  Result got;
  ASSERT_EQ(lvo_get(m_object, Dispid("SendData"), &got.value), LVO_OK);
  EXPECT_EQ(got.value.type, LVO_TEXT);
  EXPECT_EQ(got.value.length, 11u);
  EXPECT_EQ(got.Text(), bytes);
  EXPECT_EQ(got.value.text[11], '\0');  // terminated after its length
}

TEST_F(CApiTest, ResultsCarryTheirTypes) {
  Create();
  const std::pair<const char*, lvo_value> expected[] = {
      {"PortNo", {LVO_LONG, 0, 1, nullptr}},
      {"DSRCheck", {LVO_BOOL, 0, -1, nullptr}},
      {"BreakControl", {LVO_BOOL, 0, 0, nullptr}},
  };
  for (const auto& [name, value] : expected) {
    Result got;
    ASSERT_EQ(lvo_get(m_object, Dispid(name), &got.value), LVO_OK) << name;
    EXPECT_EQ(got.value.type, value.type) << name;
    EXPECT_EQ(got.value.number, value.number) << name;
    EXPECT_EQ(got.value.text, nullptr) << name;
  }
  Result none;
  const int32_t clear = Dispid("lvoResPropertyClear");
  ASSERT_EQ(lvo_invoke(m_object, clear, LVO_METHOD, nullptr, 0, &none.value), LVO_OK);
  EXPECT_EQ(none.value.type, LVO_EMPTY);

  const lvo_value args[] = {LongValue(0), TextValue("41")};
  Result text;
  ASSERT_EQ(lvo_invoke(m_object, Dispid("lvoCharAscHConv"), LVO_METHOD, args, 2, &text.value),
            LVO_OK);
  EXPECT_EQ(text.value.type, LVO_TEXT);
}

// The result may be the storage of an argument: the method still sees the argument.
TEST_F(CApiTest, ResultMayBeAnArgument) {
  Create();
  const int32_t sum = Dispid("lvoDataSumCalc");
  lvo_value value = TextValue("41");  // '4' + '1' = 0x65
  ASSERT_EQ(lvo_invoke(m_object, sum, LVO_METHOD, &value, 1, &value), LVO_OK);
  Result one{value};
  EXPECT_EQ(one.Text(), "65");

  lvo_value args[] = {LongValue(0), TextValue("AB")};
  ASSERT_EQ(lvo_invoke(m_object, Dispid("lvoCharAscHConv"), LVO_METHOD, args, 2, &args[0]), LVO_OK);
  Result first{args[0]};
  EXPECT_EQ(first.Text(), "4142");
}

TEST_F(CApiTest, ErrorStatusAndTextOfTheLastCall) {
  Create();
  int32_t dispid = 0;
  EXPECT_EQ(lvo_get_dispid(m_object, "NoSuchMember", &dispid), LVO_E_UNKNOWNNAME);
  EXPECT_EQ(lvo_last_error(), LVO_E_UNKNOWNNAME);
  EXPECT_THAT(lvo_last_error_text(), HasSubstr("'NoSuchMember'"));

  const lvo_value abc = TextValue("abc");
  EXPECT_EQ(lvo_put(m_object, Dispid("ACKTimer"), &abc), LVO_E_TYPEMISMATCH);
  EXPECT_THAT(lvo_last_error_text(), HasSubstr("'ACKTimer'"));

  EXPECT_EQ(lvo_get_dispid(m_object, "PortNo", &dispid), LVO_OK);
  EXPECT_EQ(lvo_last_error(), LVO_OK);
  EXPECT_STREQ(lvo_last_error_text(), "");
}

TEST_F(CApiTest, BadArgumentsAreRefused) {
  Create();
  int32_t dispid = 0;
  int32_t cookie = 0;
  Result result;
  const lvo_value unknownType{7, 0, 0, nullptr};
  const lvo_value missingText{LVO_TEXT, 3, 0, nullptr};
  EXPECT_EQ(lvo_create("LINVO.LinvoCtrl.1", nullptr), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_get_dispid(nullptr, "PortNo", &dispid), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_get_dispid(m_object, nullptr, &dispid), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_put(m_object, 2, nullptr), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_put(m_object, 2, &unknownType), LVO_E_TYPEMISMATCH);
  EXPECT_EQ(lvo_put(m_object, 2, &missingText), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_invoke(m_object, 40, LVO_METHOD, nullptr, 2, &result.value), LVO_E_INVALIDARG);
  EXPECT_THAT(lvo_last_error_text(), HasSubstr("args is NULL"));
  for (const lvo_value* args : {static_cast<const lvo_value*>(nullptr), &unknownType}) {
    EXPECT_EQ(lvo_invoke(m_object, 40, LVO_METHOD, args, -1, &result.value), LVO_E_INVALIDARG);
    EXPECT_STREQ(lvo_last_error_text(), "argc is negative (-1)");
  }
  EXPECT_EQ(lvo_connect(m_object, nullptr, nullptr, &cookie), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_pump(0, nullptr), LVO_OK);
  EXPECT_EQ(lvo_release(nullptr), LVO_OK);
}

// Caller text in a message is cut after 64 bytes and escaped, so that a message stays short and
// printable and still shows what the call got, zero bytes included.
TEST_F(CApiTest, MessagesQuoteCallerTextBoundedAndEscaped) {
  Create();
  const std::string huge(1 << 20, 'x');
  const std::string cut = std::string(64, 'x') + "...";
  const int32_t ackTimer = Dispid("ACKTimer");
  auto getDispid = [&](std::string name) {
    return [this, name] {
      int32_t dispid = 0;
      return lvo_get_dispid(m_object, name.c_str(), &dispid);
    };
  };
  auto create = [](std::string name) {
    return [name] {
      lvo_object* object = nullptr;
      return lvo_create(name.c_str(), &object);
    };
  };
  auto put = [&](std::string text) {
    return [this, ackTimer, text] {
      const lvo_value value = TextValue(text);
      return lvo_put(m_object, ackTimer, &value);
    };
  };
  const struct {
    const char* title;
    std::function<int32_t()> call;
    int32_t expected;
    std::string quoted;
  } cases[] = {
      {"long member name", getDispid(huge), LVO_E_UNKNOWNNAME, "'" + cut + "'"},
      {"other bytes in a name", getDispid("a\x01\x7f\xff'b\\"), LVO_E_UNKNOWNNAME,
       R"('a\x01\x7F\xFF\'b\\')"},
      {"long ProgID", create(huge), LVO_E_CLASSNOTREG, "'" + cut + "'"},
      {"escape sequence in a ProgID", create("LINVO.\x1b[2J"), LVO_E_CLASSNOTREG,
       R"('LINVO.\x1B[2J')"},
      {"long text value", put(huge), LVO_E_TYPEMISMATCH, "text \"" + cut + "\""},
      {"zero byte in a text value", put(std::string("1\0x\"", 4)), LVO_E_TYPEMISMATCH,
       R"(text "1\x00x\"")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.call(), c.expected);
    const std::string text = lvo_last_error_text();
    EXPECT_THAT(text, HasSubstr(c.quoted));
    EXPECT_LT(text.size(), 200u) << text;
  }
}

void IgnoreEvent(void*, int32_t, const char*, int32_t) {}

// An object belongs to the thread that created it; another thread's calls do nothing and say so
// (all but lvo_release: release_test.cpp).
TEST_F(CApiTest, AnotherThreadGetsTheWrongThreadError) {
  Create();
  const int32_t portNo = Dispid("PortNo");
  const int32_t closePort = Dispid("lvoClosePort");
  struct Outcome {
    int32_t dispid, get, put, invoke, connect, disconnect, lastError;
    std::string text;
  } o{};
  std::thread other([&] {
    int32_t dispid = 0, cookie = 0;
    Result result;
    const lvo_value seven = LongValue(7);
    o.dispid = lvo_get_dispid(m_object, "PortNo", &dispid);
    o.get = lvo_get(m_object, portNo, &result.value);
    o.put = lvo_put(m_object, portNo, &seven);
    o.invoke = lvo_invoke(m_object, closePort, LVO_METHOD, nullptr, 0, nullptr);
    o.connect = lvo_connect(m_object, IgnoreEvent, nullptr, &cookie);
    o.disconnect = lvo_disconnect(m_object, 1);
    o.lastError = lvo_last_error();
    o.text = lvo_last_error_text();
  });
  other.join();
  for (int32_t code : {o.dispid, o.get, o.put, o.invoke, o.connect, o.disconnect}) {
    EXPECT_EQ(code, LVO_E_WRONG_THREAD);
  }
  EXPECT_EQ(o.lastError, LVO_E_WRONG_THREAD);
  EXPECT_THAT(o.text, HasSubstr("thread that created it"));

  // The owner's error status is its own, and the object is untouched.
  EXPECT_EQ(lvo_last_error(), LVO_OK);
  Result port;
  ASSERT_EQ(lvo_get(m_object, portNo, &port.value), LVO_OK);
  EXPECT_EQ(port.value.number, 1);
}

TEST(CApi, VersionText) { EXPECT_STREQ(lvo_version(), "1, 0, 0, 0"); }

}  // namespace
}  // namespace linvo::module
