// A whole exchange through the C interface alone, against the device simulator on a virtual
// line: line properties, open, a background command exchange whose response arrives as an event
// while the host waits on the message queue handle, the result property, close.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "c_api_fixture.h"
#include "platform/wake_event.h"

namespace linvo::module {
namespace {

struct HeardEvent {
  int32_t dispid;
  std::string name;
  int32_t argument;
  std::string pollCmdResData;  // read inside the callback
};

struct Host {
  lvo_object* object;
  int32_t resDataDispid;
  std::vector<HeardEvent> heard;
};

void OnEvent(void* user, int32_t dispid, const char* name, int32_t argument) {
  Host& host = *static_cast<Host*>(user);
  lvo_value data{};
  const int32_t got = lvo_get(host.object, host.resDataDispid, &data);
  host.heard.push_back(
      {dispid, name, argument, got == LVO_OK ? std::string(data.text, data.length) : "failed"});
  lvo_string_free(data.text);
}

class ExchangeOnSim : public CApiOnSim {
 protected:
  int32_t Call(const char* name, std::vector<lvo_value> args = {}) {
    lvo_value result{};
    EXPECT_EQ(lvo_invoke(m_object, Dispid(name), LVO_METHOD, args.data(),
                         static_cast<int32_t>(args.size()), &result),
              LVO_OK)
        << lvo_last_error_text();
    EXPECT_EQ(result.type, LVO_LONG) << name;
    return static_cast<int32_t>(result.number);
  }
  // Waits on the thread's queue handle and pumps until `count` events were heard.
  bool WaitForEvents(const Host& host, std::size_t count, int timeoutMs) {
    int32_t fd = -1;
    EXPECT_EQ(lvo_message_fd(&fd), LVO_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (host.heard.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      if (platform::WaitAnyHandle({platform::WaitHandleFromNumber(fd)}, static_cast<int>(left)) ==
          0) {
        EXPECT_EQ(lvo_pump(0, nullptr), LVO_OK);
      }
    }
    return true;
  }
};

TEST_F(ExchangeOnSim, BackgroundCommandResponseArrivesAsAnEvent) {
  Create();
  Put("PortNo", TextValue("203"));
  Put("Parity", TextValue("N"));
  Put("ResponseTimer", LongValue(2000));
  Put("SendData", TextValue("S1ABC"));

  Host host{m_object, Dispid("PollCmdResData"), {}};
  int32_t cookie = 0;
  ASSERT_EQ(lvo_connect(m_object, OnEvent, &host, &cookie), LVO_OK);

  ASSERT_EQ(Call("lvoOpenPort"), 0);
  ASSERT_EQ(Call("lvoSendCommandRR", {LongValue(2), LongValue(3000)}), 1);  // started
  ASSERT_TRUE(WaitForEvents(host, 1, 5000));
  ASSERT_EQ(host.heard.size(), 1u);
  EXPECT_EQ(host.heard[0].dispid, 2);
  EXPECT_EQ(host.heard[0].name, "lvoReceiveResponseEvent");
  EXPECT_EQ(host.heard[0].argument, 10);
  EXPECT_EQ(host.heard[0].pollCmdResData, "RESULT");  // set before the event fired

  Result data;
  ASSERT_EQ(lvo_get(m_object, Dispid("PollCmdResData"), &data.value), LVO_OK);
  EXPECT_EQ(data.Text(), "RESULT");
  EXPECT_EQ(Call("lvoClosePort"), 0);
  EXPECT_EQ(lvo_disconnect(m_object, cookie), LVO_OK);
}

}  // namespace
}  // namespace linvo::module
