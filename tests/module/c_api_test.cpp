// The C interface's own rules: values in and out, byte strings passed unchanged, the thread's
// error status and text, argument checks, and the thread rule.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
  EXPECT_EQ(lvo_connect(m_object, nullptr, nullptr, &cookie), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_pump(0, nullptr), LVO_OK);
  EXPECT_EQ(lvo_release(nullptr), LVO_OK);
}

void IgnoreEvent(void*, int32_t, const char*, int32_t) {}

// An object belongs to the thread that created it; another thread's calls do nothing and say so.
TEST_F(CApiTest, AnotherThreadGetsTheWrongThreadError) {
  Create();
  const int32_t portNo = Dispid("PortNo");
  const int32_t closePort = Dispid("lvoClosePort");
  struct Outcome {
    int32_t dispid, get, put, invoke, connect, disconnect, release, lastError;
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
    o.release = lvo_release(m_object);
    o.lastError = lvo_last_error();
    o.text = lvo_last_error_text();
  });
  other.join();
  for (int32_t code : {o.dispid, o.get, o.put, o.invoke, o.connect, o.disconnect, o.release}) {
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
