#include "platform/message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/wake_event.h"

namespace linvo::platform {
namespace {

bool Readable(NativeWaitHandle handle) { return WaitAnyHandle({handle}, 0) == 0; }

// Records what a window's handler and dropper receive.
struct Recorder {
  std::mutex mutex;
  std::vector<uint32_t> handled;
  std::vector<std::thread::id> handlerThreads;
  std::vector<uint32_t> dropped;

  MessageHandler Handler() {
    return [this](uint32_t msg, WParam, LParam) -> std::intptr_t {
      std::lock_guard lock(mutex);
      handled.push_back(msg);
      handlerThreads.push_back(std::this_thread::get_id());
      return 0;
    };
  }
  MessageDropper Dropper() {
    return [this](uint32_t msg, WParam, LParam) {
      std::lock_guard lock(mutex);
      dropped.push_back(msg);
    };
  }
};

TEST(MessageTest, PostFromAnotherThreadIsHandledOnTheOwner) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(IsMessageWindow(window));
  std::thread poster([&] {
    EXPECT_TRUE(PostWindowMessage(window, kWmApp + 1, 10, -20));
    EXPECT_TRUE(PostWindowMessage(window, kWmApp + 2, 0, 0));
  });
  poster.join();
  EXPECT_EQ(PumpMessages(1000), 2);
  EXPECT_EQ(rec.handled, (std::vector<uint32_t>{kWmApp + 1, kWmApp + 2}));
  EXPECT_EQ(rec.handlerThreads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));
  EXPECT_TRUE(DestroyMessageWindow(window));
}

TEST(MessageTest, PassesTheParameters) {
  WParam gotW = 0;
  LParam gotL = 0;
  const WindowHandle window = CreateMessageWindow("w", [&](uint32_t, WParam w, LParam l) {
    gotW = w;
    gotL = l;
    return std::intptr_t{0};
  });
  ASSERT_TRUE(PostWindowMessage(window, kWmApp, ~WParam{0}, -1));
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_EQ(gotW, ~WParam{0});
  EXPECT_EQ(gotL, -1);
  DestroyMessageWindow(window);
}

TEST(MessageTest, WaitingPumpWakesForAPostFromAnotherThread) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler());
  std::thread poster([&] { PostWindowMessage(window, kWmApp, 0, 0); });
  EXPECT_EQ(PumpMessages(-1), 1);  // blocks until the post arrives
  poster.join();
  DestroyMessageWindow(window);
}

TEST(MessageTest, DestroyedOrUnknownWindow) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
  const WindowHandle next = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
  EXPECT_NE(next, window);
  EXPECT_TRUE(DestroyMessageWindow(window));
  EXPECT_FALSE(IsMessageWindow(window));
  EXPECT_FALSE(PostWindowMessage(window, kWmApp, 0, 0));
  EXPECT_FALSE(DestroyMessageWindow(window));
  EXPECT_FALSE(PostWindowMessage(0, kWmApp, 0, 0));
  EXPECT_FALSE(DestroyMessageWindow(0));
  // A destroyed window's handle does not come back.
  const WindowHandle later = CreateMessageWindow("w", rec.Handler());
  EXPECT_NE(later, window);
  EXPECT_NE(later, next);
  EXPECT_TRUE(DestroyMessageWindow(next));
  EXPECT_TRUE(DestroyMessageWindow(later));
  EXPECT_TRUE(rec.dropped.empty());
}

TEST(MessageTest, DestroyDropsQueuedMessages) {
  Recorder rec;
  Recorder other;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
  const WindowHandle bystander = CreateMessageWindow("b", other.Handler(), other.Dropper());
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(PostWindowMessage(window, kWmApp + i, 0, 0));
  ASSERT_TRUE(PostWindowMessage(bystander, kWmApp + 9, 0, 0));
  // Destroyed from another thread, as any thread may.
  std::thread([&] { EXPECT_TRUE(DestroyMessageWindow(window)); }).join();
  EXPECT_EQ(rec.dropped, (std::vector<uint32_t>{kWmApp, kWmApp + 1, kWmApp + 2}));
  // The other window's message stays queued and is handled.
  EXPECT_TRUE(Readable(MessageQueueFd()));
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_TRUE(rec.handled.empty());
  EXPECT_EQ(other.handled, (std::vector<uint32_t>{kWmApp + 9}));
  DestroyMessageWindow(bystander);
}

TEST(MessageTest, DestroyOfTheLastQueuedWindowClearsTheFd) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
  ASSERT_TRUE(PostWindowMessage(window, kWmApp, 0, 0));
  ASSERT_TRUE(Readable(MessageQueueFd()));
  DestroyMessageWindow(window);
  EXPECT_FALSE(Readable(MessageQueueFd()));
  EXPECT_EQ(PumpMessages(0), 0);
}

TEST(MessageTest, WindowDestroyedDuringThePumpGetsTheRestDropped) {
  Recorder rec;
  WindowHandle window = 0;
  window = CreateMessageWindow(
      "w",
      [&](uint32_t msg, WParam, LParam) -> std::intptr_t {
        rec.Handler()(msg, 0, 0);
        DestroyMessageWindow(window);  // from its own handler
        return 0;
      },
      rec.Dropper());
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(PostWindowMessage(window, kWmApp + i, 0, 0));
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_EQ(rec.handled, (std::vector<uint32_t>{kWmApp}));
  EXPECT_EQ(rec.dropped, (std::vector<uint32_t>{kWmApp + 1, kWmApp + 2}));
}

TEST(MessageTest, ThreadExitDropsQueuedMessagesAndEndsItsWindows) {
  Recorder rec;
  WindowHandle window = 0;
  std::thread owner([&] {
    window = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
    PostWindowMessage(window, kWmApp, 0, 0);
    PostWindowMessage(window, kWmApp + 1, 0, 0);
  });
  owner.join();
  EXPECT_EQ(rec.dropped, (std::vector<uint32_t>{kWmApp, kWmApp + 1}));
  EXPECT_TRUE(rec.handled.empty());
  EXPECT_FALSE(IsMessageWindow(window));
  EXPECT_FALSE(PostWindowMessage(window, kWmApp, 0, 0));
  EXPECT_FALSE(DestroyMessageWindow(window));
}

TEST(MessageTest, QueueFdIsReadableWhileMessagesWait) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler());
  const NativeWaitHandle fd = MessageQueueFd();
  ASSERT_NE(fd, kNoWaitHandle);
  EXPECT_EQ(MessageQueueFd(), fd);
  EXPECT_FALSE(Readable(fd));
  std::thread([&] { PostWindowMessage(window, kWmApp, 0, 0); }).join();
  EXPECT_TRUE(Readable(fd));
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_FALSE(Readable(fd));
  DestroyMessageWindow(window);
}

TEST(MessageTest, PumpTimesOutWithNothingQueued) {
  EXPECT_EQ(PumpMessages(0), 0);
  EXPECT_EQ(PumpMessages(20), 0);
}

TEST(MessageTest, EachThreadHasItsOwnQueue) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler());
  ASSERT_TRUE(PostWindowMessage(window, kWmApp, 0, 0));
  NativeWaitHandle otherFd = kNoWaitHandle;
  int otherPumped = -1;
  std::thread([&] {
    otherFd = MessageQueueFd();
    otherPumped = PumpMessages(0);
  }).join();
  EXPECT_NE(otherFd, MessageQueueFd());
  EXPECT_EQ(otherPumped, 0);
  EXPECT_EQ(PumpMessages(0), 1);
  DestroyMessageWindow(window);
}

// A message a handler posts to its own window waits for the next pump.
TEST(MessageTest, PostFromTheHandlerIsHandledByTheNextPump) {
  int calls = 0;
  WindowHandle window = 0;
  window = CreateMessageWindow("w", [&](uint32_t, WParam, LParam) -> std::intptr_t {
    ++calls;
    EXPECT_TRUE(PostWindowMessage(window, kWmApp, 0, 0));
    return 0;
  });
  ASSERT_TRUE(PostWindowMessage(window, kWmApp, 0, 0));
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(Readable(MessageQueueFd()));
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_EQ(calls, 2);
  DestroyMessageWindow(window);
  EXPECT_FALSE(Readable(MessageQueueFd()));
}

TEST(MessageTest, HandlersMayPumpAndCreateWindows) {
  Recorder inner;
  std::vector<uint32_t> order;
  WindowHandle innerWindow = 0;
  const WindowHandle outer = CreateMessageWindow("o", [&](uint32_t msg, WParam, LParam) {
    order.push_back(msg);
    if (msg == kWmApp) {
      innerWindow = CreateMessageWindow("i", inner.Handler());
      PostWindowMessage(innerWindow, kWmApp + 10, 0, 0);
      EXPECT_EQ(PumpMessages(0), 1);  // the nested pump takes only the new message
    }
    return std::intptr_t{0};
  });
  ASSERT_TRUE(PostWindowMessage(outer, kWmApp, 0, 0));
  ASSERT_TRUE(PostWindowMessage(outer, kWmApp + 1, 0, 0));
  EXPECT_EQ(PumpMessages(0), 2);
  EXPECT_EQ(order, (std::vector<uint32_t>{kWmApp, kWmApp + 1}));
  EXPECT_EQ(inner.handled, (std::vector<uint32_t>{kWmApp + 10}));
  DestroyMessageWindow(outer);
  DestroyMessageWindow(innerWindow);
}

TEST(MessageTest, ThrowingHandlerLeavesTheRestQueued) {
  Recorder rec;
  bool thrown = false;
  const WindowHandle window = CreateMessageWindow(
      "w",
      [&](uint32_t msg, WParam, LParam) -> std::intptr_t {
        if (!thrown) {
          thrown = true;
          throw std::runtime_error("handler failed");
        }
        return rec.Handler()(msg, 0, 0);
      },
      rec.Dropper());
  ASSERT_TRUE(PostWindowMessage(window, kWmApp, 0, 0));
  ASSERT_TRUE(PostWindowMessage(window, kWmApp + 1, 0, 0));
  EXPECT_THROW(PumpMessages(0), std::runtime_error);
  EXPECT_EQ(PumpMessages(0), 1);
  EXPECT_EQ(rec.handled, (std::vector<uint32_t>{kWmApp + 1}));
  DestroyMessageWindow(window);
}

TEST(MessageTest, FullQueueRefusesPosts) {
  Recorder rec;
  const WindowHandle window = CreateMessageWindow("w", rec.Handler(), rec.Dropper());
  int accepted = 0;
  while (accepted < 20000 && PostWindowMessage(window, kWmApp, 0, 0)) ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(PumpMessages(0), 10000);
  EXPECT_TRUE(PostWindowMessage(window, kWmApp, 0, 0));
  DestroyMessageWindow(window);
  EXPECT_EQ(rec.dropped.size(), 1u);
}

TEST(MessageTest, RegisteredMessageNumbers) {
  const uint32_t a = RegisterNamedMessage("Linvo.Test.Message.A");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_EQ(RegisterNamedMessage("Linvo.Test.Message.A"), a);
  EXPECT_EQ(RegisterNamedMessage("LINVO.test.message.a"), a);
  const uint32_t b = RegisterNamedMessage("Linvo.Test.Message.B");
  EXPECT_NE(b, a);
  EXPECT_GE(b, 0xC000u);
  EXPECT_EQ(RegisterNamedMessage(""), 0u);
  uint32_t fromThread = 0;
  std::thread([&] { fromThread = RegisterNamedMessage("linvo.test.message.b"); }).join();
  EXPECT_EQ(fromThread, b);
}

// Many threads post while the owner pumps and another thread destroys the window: every message
// ends in exactly one of handler and dropper.
TEST(MessageTest, EveryMessageIsHandledOrDroppedOnce) {
  constexpr int kPosters = 3;
  constexpr int kPosts = 500;
  std::atomic<int> handled{0};
  std::atomic<int> dropped{0};
  std::atomic<int> accepted{0};
  const WindowHandle window = CreateMessageWindow(
      "w", [&](uint32_t, WParam, LParam) { return std::intptr_t{++handled}; },
      [&](uint32_t, WParam, LParam) { ++dropped; });
  std::promise<void> firstDone;
  std::future<void> firstDoneFuture = firstDone.get_future();
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) {
        if (PostWindowMessage(window, kWmApp, 0, 0)) ++accepted;
      }
      if (t == 0) firstDone.set_value();
    });
  }
  // Destroyed once the first poster is through, while the others may still be posting.
  std::thread destroyer([&] {
    firstDoneFuture.wait();
    DestroyMessageWindow(window);
  });
  while (IsMessageWindow(window)) PumpMessages(5);
  for (auto& p : posters) p.join();
  destroyer.join();
  PumpMessages(0);
  EXPECT_GE(accepted, kPosts);
  EXPECT_EQ(handled + dropped, accepted);
}

}  // namespace
}  // namespace linvo::platform
