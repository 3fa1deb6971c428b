// The wake-up event's waits, the wait on handles of any kind, and the deadline they count down.
#include "platform/wake_event.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <future>

#include "platform/deadline.h"
#include "platform/serial.h"

namespace linvo::platform {
namespace {

TEST(WakeEventWait, EndsOnSignalFromAnotherThreadAndStaysSignalled) {
  WakeEvent event;
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(event.Wait(5));
  auto waiter = std::async(std::launch::async, [&] { return event.Wait(-1); });
  event.Signal();
  EXPECT_TRUE(waiter.get());
  EXPECT_TRUE(event.Wait(0)) << "a wait does not consume the signal";
  event.Clear();
  EXPECT_FALSE(event.Wait(0));
}

TEST(WakeEventWait, WaitAnyNamesTheSignalledEventAndSkipsNulls) {
  WakeEvent first;
  WakeEvent second;
  EXPECT_EQ(WaitAny({&first, nullptr, &second}, 0), -1);
  second.Signal();
  EXPECT_EQ(WaitAny({&first, nullptr, &second}, -1), 2);
  first.Signal();
  EXPECT_EQ(WaitAny({&first, nullptr, &second}, -1), 0) << "the first signalled in list order";
  EXPECT_TRUE(WaitForWake(&second, 0));
  const Deadline slept = Deadline::After(5);
  EXPECT_FALSE(WaitForWake(nullptr, 5)) << "no event: a plain sleep";
  EXPECT_TRUE(slept.Passed());
}

// Handles of any kind: the virtual line's peer is ready while the host's bytes wait there.
TEST(WakeEventWait, WaitAnyHandleNamesTheReadyHandleOfAnyKind) {
  WakeEvent wake;
  auto peer = RegisterVirtualLine("COM204");
  auto host = OpenSerialLine("COM204", "").line;
  ASSERT_NE(host, nullptr);
  const NativeWaitHandle handles[] = {wake.Native(), kNoWaitHandle, peer->Fd()};
  EXPECT_EQ(WaitAnyHandle(handles, 5), kWaitTimedOut);
  const uint8_t byte = 0x41;
  ASSERT_EQ(host->Write(&byte, 1).bytes, 1u);
  EXPECT_EQ(WaitAnyHandle(handles, -1), 2);
  wake.Signal();
  EXPECT_EQ(WaitAnyHandle({wake.Native(), peer->Fd()}, -1), 0);
  const NativeWaitHandle tooMany[kMaxWaitHandles + 1] = {};
  EXPECT_EQ(WaitAnyHandle(tooMany, 0), kWaitFailed);
  host.reset();
  UnregisterVirtualLine("COM204");
}

TEST(DeadlineTest, CountsDownAndNeverPasses) {
  EXPECT_EQ(Deadline::Never().RemainingMs(), -1);
  EXPECT_FALSE(Deadline::Never().Passed());
  EXPECT_TRUE(Deadline::After(-5).IsNever());
  EXPECT_TRUE(Deadline::After(0).Passed());
  EXPECT_EQ(Deadline::After(0).RemainingMs(), 0);
  const Deadline later = Deadline::After(60'000);
  EXPECT_FALSE(later.Passed());
  EXPECT_GT(later.RemainingMs(), 59'000);
  EXPECT_LE(later.RemainingMs(), 60'000);
  const Deadline soon = Deadline::After(10);
  EXPECT_LE(Deadline::Earlier(later, soon).RemainingMs(), 10);
  EXPECT_LE(Deadline::Earlier(Deadline::Never(), soon).RemainingMs(), 10);
  EXPECT_TRUE(Deadline::Earlier(Deadline::Never(), Deadline::Never()).IsNever());
}

}  // namespace
}  // namespace linvo::platform
