// Event connections: several callbacks with cookies, delivery on the object's thread while it
// pumps, and disconnection from inside an event.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/linvo_ctrl.h"
#include "engine/notify.h"
#include "module/class_table.h"
#include "module/dispatch_object.h"
#include "platform/message.h"
#include "support/test_env.h"

namespace linvo::module {
namespace {

struct Heard {
  std::string who;
  int32_t dispid;
  std::string name;
  int32_t argument;
  bool operator==(const Heard&) const = default;
};

class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Status s = CreateObject("LINVO.LinvoCtrl.1", &m_object);
    ASSERT_TRUE(s.ok()) << s.message;
  }
  void TearDown() override {
    m_object.reset();
    platform::PumpMessages(0);
  }
  // A callback that records what it hears under `who`.
  DispatchObject::EventCallback Recorder(std::string who) {
    return [this, who](const control::EventInfo& e, int32_t argument) {
      heard.push_back({who, e.dispid, e.name, argument});
    };
  }
  int32_t Connect(DispatchObject::EventCallback callback) {
    int32_t cookie = 0;
    EXPECT_TRUE(m_object->Connect(std::move(callback), &cookie).ok());
    return cookie;
  }
  // The notification of a completed background response receive (bit 0x0001: code 10), as the
  // engine posts it to the control's window; the handler fires lvoReceiveResponseEvent(10).
  void PostResponse() {
    ASSERT_TRUE(platform::PostWindowMessage(m_object->Control().Window(), engine::WM_PORT_RESPONSE,
                                            0, 0x0001));
  }

  test::ScopedWorkDir m_dir;
  std::unique_ptr<DispatchObject> m_object;
  std::vector<Heard> heard;
};

const Heard Response(const char* who) { return {who, 2, "lvoReceiveResponseEvent", 10}; }

TEST_F(EventsTest, EveryConnectionHearsEachEventWhenTheThreadPumps) {
  const int32_t a = Connect(Recorder("a"));
  const int32_t b = Connect(Recorder("b"));
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);

  PostResponse();
  EXPECT_TRUE(heard.empty());  // nothing before the pump
  EXPECT_EQ(platform::PumpMessages(1000), 1);
  EXPECT_EQ(heard, (std::vector<Heard>{Response("a"), Response("b")}));

  heard.clear();
  EXPECT_TRUE(m_object->Disconnect(a).ok());
  PostResponse();
  platform::PumpMessages(1000);
  EXPECT_EQ(heard, (std::vector<Heard>{Response("b")}));

  const Status again = m_object->Disconnect(a);
  EXPECT_EQ(again.code, LVO_E_NOCONNECTION);
  EXPECT_THAT(again.message, ::testing::HasSubstr(std::to_string(a)));
}

TEST_F(EventsTest, ACallbackMayDisconnectItselfAndOthers) {
  int32_t a = 0, b = 0;
  a = Connect([&](const control::EventInfo& e, int32_t argument) {
    heard.push_back({"a", e.dispid, e.name, argument});
    EXPECT_TRUE(m_object->InEvent());
    EXPECT_TRUE(m_object->Disconnect(a).ok());
    EXPECT_TRUE(m_object->Disconnect(b).ok());
  });
  b = Connect(Recorder("b"));
  const int32_t c = Connect(Recorder("c"));

  PostResponse();
  PostResponse();
  platform::PumpMessages(1000);
  // b was disconnected before its turn; c hears both events, a only the first.
  EXPECT_EQ(heard, (std::vector<Heard>{Response("a"), Response("c"), Response("c")}));
  EXPECT_FALSE(m_object->InEvent());
  EXPECT_TRUE(m_object->Disconnect(c).ok());
}

TEST_F(EventsTest, ACallbackMayConnectAnother) {
  Connect([&](const control::EventInfo&, int32_t) {
    heard.push_back({"a", 0, "", 0});
    if (heard.size() == 1) Connect(Recorder("late"));
  });
  PostResponse();
  platform::PumpMessages(1000);
  PostResponse();
  platform::PumpMessages(1000);
  EXPECT_EQ(heard, (std::vector<Heard>{{"a", 0, "", 0}, {"a", 0, "", 0}, Response("late")}));
}

}  // namespace
}  // namespace linvo::module
