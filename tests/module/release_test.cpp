// lvo_release from every place a host may let an object go: its own thread, inside its own
// event, another thread while the creating thread lives or after it ended. The object is always
// destroyed, on its own thread whenever that thread handles its messages; what shows it is the
// port it held, which a new control can open only once the old one is gone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "c_api_fixture.h"
#include "platform/message.h"

namespace linvo::module {
namespace {

constexpr int64_t kPortHeld = 30;  // lvoOpenPort of a port another control holds open

int32_t DispidOf(lvo_object* object, const char* name) {
  int32_t dispid = 0;
  EXPECT_EQ(lvo_get_dispid(object, name, &dispid), LVO_OK) << lvo_last_error_text();
  return dispid;
}

void PutValue(lvo_object* object, const char* name, lvo_value value) {
  EXPECT_EQ(lvo_put(object, DispidOf(object, name), &value), LVO_OK) << lvo_last_error_text();
}

// A method's result code (-1 when the call fails).
int64_t CallMethod(lvo_object* object, const char* name, std::initializer_list<int64_t> args = {}) {
  std::vector<lvo_value> values;
  for (int64_t a : args) values.push_back(LongValue(a));
  Result result;
  const int32_t status = lvo_invoke(object, DispidOf(object, name), LVO_METHOD, values.data(),
                                    static_cast<int32_t>(values.size()), &result.value);
  EXPECT_EQ(status, LVO_OK) << lvo_last_error_text();
  return status == LVO_OK ? result.value.number : -1;
}

// A control on the calling thread with the simulator's port open.
lvo_object* OpenControl() {
  lvo_object* object = nullptr;
  EXPECT_EQ(lvo_create("LINVO.LinvoCtrl.1", &object), LVO_OK);
  PutValue(object, "PortNo", LongValue(CApiOnSim::kPort));
  PutValue(object, "Parity", TextValue("N"));
  EXPECT_EQ(CallMethod(object, "lvoOpenPort"), 0);
  return object;
}

// What lvoOpenPort answers a new control: 0 once no other control holds the port.
int64_t OpenByNewControl() {
  lvo_object* object = nullptr;
  EXPECT_EQ(lvo_create("LINVO.LinvoCtrl.1", &object), LVO_OK);
  PutValue(object, "PortNo", LongValue(CApiOnSim::kPort));
  const int64_t opened = CallMethod(object, "lvoOpenPort");
  EXPECT_EQ(lvo_release(object), LVO_OK);
  return opened;
}

// Pumps the calling thread until the condition holds (false after 5 s).
bool PumpUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition() && std::chrono::steady_clock::now() < deadline) lvo_pump(100, nullptr);
  return condition();
}

// Starts a background command exchange; its response arrives as lvoReceiveResponseEvent.
void StartEvent(lvo_object* object) {
  PutValue(object, "SendData", TextValue("S1ABC"));
  EXPECT_EQ(CallMethod(object, "lvoSendCommandRR", {2, 3000}), 1);
}

void Count(void* user, int32_t, const char*, int32_t) { ++*static_cast<int*>(user); }

class ReleaseTest : public CApiOnSim {
 protected:
  // The port's own object (kept for the process) delivers the port's events through a window of
  // the thread that first used the port; it must be this one, which lives as long as the tests.
  void SetUp() override {
    CApiOnSim::SetUp();
    EXPECT_EQ(OpenByNewControl(), 0);
  }
};

TEST_F(ReleaseTest, AnotherThreadsReleaseWaitsForTheCreatorsPump) {
  lvo_object* object = OpenControl();
  int32_t status = -1;
  std::thread([&] { status = lvo_release(object); }).join();
  EXPECT_EQ(status, LVO_OK);
  EXPECT_EQ(OpenByNewControl(), kPortHeld);  // not destroyed on the other thread
  int32_t handled = 0;
  EXPECT_EQ(lvo_pump(0, &handled), LVO_OK);
  EXPECT_GE(handled, 1);
  EXPECT_EQ(OpenByNewControl(), 0);
}

struct InEvent {
  lvo_object* object;
  int calls = 0;
  int32_t release = -1;
  int32_t nestedPump = -1;
};

// Releases the object inside its event, then pumps there: the pump reaches the release while
// the event is still running, and must leave the object alone until the event is over.
void ReleaseAndPump(void* user, int32_t, const char*, int32_t) {
  InEvent& in = *static_cast<InEvent*>(user);
  ++in.calls;
  in.release = lvo_release(in.object);
  in.nestedPump = lvo_pump(0, nullptr);
}

TEST_F(ReleaseTest, ReleaseInsideItsOwnEventWaitsForTheNextPump) {
  InEvent in{OpenControl()};
  int laterCallback = 0;
  int32_t cookie = 0;
  ASSERT_EQ(lvo_connect(in.object, ReleaseAndPump, &in, &cookie), LVO_OK);
  ASSERT_EQ(lvo_connect(in.object, Count, &laterCallback, &cookie), LVO_OK);
  StartEvent(in.object);
  ASSERT_TRUE(PumpUntil([&] { return in.calls > 0; }));
  EXPECT_EQ(in.calls, 1);
  EXPECT_EQ(in.release, LVO_OK);
  EXPECT_EQ(in.nestedPump, LVO_OK);
  EXPECT_EQ(laterCallback, 0);  // released: no callback after the release

  EXPECT_EQ(OpenByNewControl(), kPortHeld);
  EXPECT_EQ(lvo_pump(0, nullptr), LVO_OK);
  EXPECT_EQ(OpenByNewControl(), 0);
}

// The thread ends without handling the release: the library's next call destroys the object.
TEST_F(ReleaseTest, AReleaseWaitingForAThreadThatEndsHappensAtTheNextCall) {
  std::promise<lvo_object*> created;
  std::promise<void> released;
  std::thread owner([&] {
    created.set_value(OpenControl());
    released.get_future().wait();  // then ends without pumping
  });
  lvo_object* object = created.get_future().get();
  EXPECT_EQ(lvo_release(object), LVO_OK) << lvo_last_error_text();
  EXPECT_EQ(OpenByNewControl(), kPortHeld);
  released.set_value();
  owner.join();
  EXPECT_EQ(OpenByNewControl(), 0);  // its lvo_create destroyed the object first
}

// The thread check must tell a new thread from the ended creator even when the system gives the
// new thread the creator's id (as it usually does for the next thread started).
TEST_F(ReleaseTest, AnObjectWhoseThreadEndedIsRefusedOnANewThreadAndReleasedFromIt) {
  lvo_object* object = nullptr;
  std::thread::id creator;
  std::thread([&] {
    object = OpenControl();
    creator = std::this_thread::get_id();
  }).join();

  struct {
    int32_t dispid, put, release;
    std::string text;
    bool sameSystemId;
  } o{};
  std::thread([&] {
    o.sameSystemId = std::this_thread::get_id() == creator;
    int32_t dispid = 0;
    const lvo_value seven = LongValue(7);
    o.dispid = lvo_get_dispid(object, "PortNo", &dispid);
    o.put = lvo_put(object, 2, &seven);
    o.text = lvo_last_error_text();
    o.release = lvo_release(object);
  }).join();
  RecordProperty("system thread id reused", o.sameSystemId ? "yes" : "no");
  EXPECT_EQ(o.dispid, LVO_E_WRONG_THREAD);
  EXPECT_EQ(o.put, LVO_E_WRONG_THREAD);
  EXPECT_THAT(o.text, ::testing::HasSubstr("thread that created the object has ended"));
  EXPECT_EQ(o.release, LVO_OK);
  EXPECT_EQ(OpenByNewControl(), 0);
}

// A release that must wait for a thread whose queue is full is refused and changes nothing: the
// object keeps its port and its events, and a later release works.
TEST_F(ReleaseTest, AReleaseAFullQueueCannotTakeIsRefusedAndChangesNothing) {
  lvo_object* object = OpenControl();
  int heard = 0;
  int32_t cookie = 0;
  ASSERT_EQ(lvo_connect(object, Count, &heard, &cookie), LVO_OK);
  const platform::WindowHandle filler = platform::CreateMessageWindow(
      "filler", [](uint32_t, platform::WParam, platform::LParam) -> std::intptr_t { return 0; });
  int queued = 0;
  while (queued < 20000 && platform::PostWindowMessage(filler, platform::kWmApp, 0, 0)) ++queued;
  ASSERT_LT(queued, 20000);

  int32_t status = 0;
  std::string text;
  std::thread([&] {
    status = lvo_release(object);
    text = lvo_last_error_text();
  }).join();
  EXPECT_EQ(status, LVO_E_OUTOFMEMORY);
  EXPECT_THAT(text, ::testing::HasSubstr("message queue is full"));
  EXPECT_GE(platform::PumpMessages(0), queued);
  StartEvent(object);
  EXPECT_TRUE(PumpUntil([&] { return heard == 1; }));
  EXPECT_EQ(OpenByNewControl(), kPortHeld);

  std::thread([&] { status = lvo_release(object); }).join();
  EXPECT_EQ(status, LVO_OK);
  EXPECT_EQ(lvo_pump(0, nullptr), LVO_OK);
  EXPECT_EQ(OpenByNewControl(), 0);
  platform::DestroyMessageWindow(filler);
}

}  // namespace
}  // namespace linvo::module
