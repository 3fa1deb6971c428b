#include <atomic>
#include <thread>

#include "engine/notify.h"
#include "platform/clock.h"
#include "support/control_window.h"
#include "support/port_fixture.h"

namespace linvo::engine {
namespace {

using test::B;
using test::BinaryFrame;
using test::Bytes;
using test::Frame;
using test::Hex;
using test::Notification;
using test::VirtualDevice;
using test::operator+;

long NoCallback(long, long, long, long) { return 0; }
long NoBinaryCallback(long, long, long, long, long) { return 0; }

const Bytes kPoll = B({0x04, 0x05});
constexpr uint32_t kAllBits = 0x7F7F;

class Background : public test::VirtualPortTest {
 protected:
  void SetUp() override {
    VirtualPortTest::SetUp();
    m_window = std::make_unique<test::ControlWindow>(kPortNo);
  }
  void TearDown() override {
    m_window.reset();
    VirtualPortTest::TearDown();
  }
  // Whether the worker slot is free: a synchronous operation is not refused with 140.
  bool SlotFree() {
    std::string s;
    return m_port->ReceiveDataFramed("probe", -1, 0, 0, &s, nullptr) != 140;
  }
  const Notification& Only() {
    EXPECT_TRUE(m_window->WaitFor(1));
    m_window->PumpFor(30);
    EXPECT_EQ(m_window->received.size(), 1u);
    static const Notification none;
    return m_window->received.empty() ? none : m_window->received[0];
  }

  std::unique_ptr<test::ControlWindow> m_window;
};

TEST_F(Background, ResponseWorkerPostsTheFrameData) {
  VirtualDevice device(m_peer, [](const Bytes& m, int i) {
    return m == kPoll ? (i < 2 ? Frame("B0000") : Frame("A0102xyz")) : Bytes{};
  });
  ASSERT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 200, 0, 0), 0);
  EXPECT_FALSE(SlotFree());
  const Notification& n = Only();
  EXPECT_EQ(n.message, WM_PORT_RESPONSE);
  EXPECT_EQ(n.kind, THREADTYPE_RESPONSE);
  EXPECT_EQ(n.bit, 0x0001u);
  EXPECT_EQ(n.data, "A0102xyz");
  EXPECT_TRUE(n.terminated);
  EXPECT_EQ(device.Messages().size(), 3u) << "two busy answers, then the final one";
  EXPECT_TRUE(SlotFree());
  std::vector<std::string> lines = NewTrace();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Info    |GetExitCodeThread"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Info    |Execute CallBack Function(Response): 0x00000001"),
            lines.end());
}

struct ResponseOutcome {
  const char* name;
  Bytes reply;
  int32_t busyTimer;
  uint32_t bit;
  bool hasData;
};

class ResponseOutcomes : public Background,
                         public ::testing::WithParamInterface<ResponseOutcome> {};

TEST_P(ResponseOutcomes, Bits) {
  const ResponseOutcome& c = GetParam();
  VirtualDevice device(m_peer, [&](const Bytes& m, int) { return m == kPoll ? c.reply : Bytes{}; });
  ASSERT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 50, c.busyTimer, 0), 0);
  const Notification& n = Only();
  EXPECT_EQ(n.bit, c.bit);
  EXPECT_EQ(n.hasData, c.hasData);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponseOutcomes,
    ::testing::Values(ResponseOutcome{"Sense", Frame("R0001s"), 0, 0x0002, true},
                      ResponseOutcome{"UnknownLetter", Frame("Q0000"), 0, 0x0000, false},
                      ResponseOutcome{"BusyTimer", Frame("B0000"), 120, 0x4000, false},
                      ResponseOutcome{"SilentUntilBusyTimer", Bytes{}, 150, 0x4000, false}),
    [](const auto& info) { return info.param.name; });

struct CallbackCase {
  const char* name;
  int16_t mode;
  uint32_t mask;
  Bytes reply;  // the answer to every poll after the first ("C0000skip")
  uint32_t bit;
  const char* data;
  std::size_t polls;
};

class CallbackPolls : public Background, public ::testing::WithParamInterface<CallbackCase> {};

// The callback-style poll reports what its mask and mode ask for and keeps polling otherwise.
TEST_P(CallbackPolls, ReportByMaskAndMode) {
  const CallbackCase& c = GetParam();
  VirtualDevice device(m_peer, [&](const Bytes& m, int i) {
    return m == kPoll ? (i == 0 ? Frame("C0000skip") : c.reply) : Bytes{};
  });
  ASSERT_EQ(m_port->ReceiveResponseCallback("x", c.mode, 200, NoCallback, 0, c.mask), 0);
  const Notification& n = Only();
  EXPECT_EQ(n.message, WM_PORT_RESPONSE);
  EXPECT_EQ(n.bit, c.bit);
  EXPECT_EQ(n.data, c.data);
  EXPECT_EQ(device.Messages().size(), c.polls);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackPolls,
    ::testing::Values(CallbackCase{"Done", 2, 0x0001, Frame("A0000a"), 0x0001, "A0000a", 2},
                      CallbackCase{"Sense", 2, 0x0002, Frame("R0000r"), 0x0002, "R0000r", 2},
                      CallbackCase{"AnyLetterInModeOne", 1, 0x0004, Frame("B0000b"), 0x0004,
                                   "C0000skip", 1}),
    [](const auto& info) { return info.param.name; });

TEST_F(Background, CallbackPollStopsOnRequest) {
  VirtualDevice device(m_peer,
                       [](const Bytes& m, int) { return m == kPoll ? Frame("B0000") : Bytes{}; });
  ASSERT_EQ(m_port->ReceiveResponseCallback("x", 2, 50, NoCallback, 0, 0x0001), 0);
  m_window->PumpFor(40);
  EXPECT_TRUE(m_window->received.empty()) << "busy answers are not in the mask";
  EXPECT_EQ(m_port->ReceiveResponseCallback("x", 0, 0, nullptr, 0, 0), 0);
  EXPECT_EQ(Only().bit, 0x0008u);
}

TEST_F(Background, StopRequestsAndCloses) {
  // A stopped response poll reports its cancel.
  ASSERT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 0, 0, 0), 0);
  m_window->PumpFor(30);
  EXPECT_TRUE(m_window->received.empty()) << "time-out 0 waits";
  EXPECT_EQ(m_port->ReceiveResponseCallback("x", 0, 0, nullptr, 0, 0), 0);
  const Notification& n = Only();
  EXPECT_EQ(n.bit, 0x0008u);
  EXPECT_FALSE(n.hasData);
  ASSERT_TRUE(SlotFree());

  // Closing the port stops it too, and the response poll still reports (20, 0x0008).
  ASSERT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 0, 0, 0), 0);
  EXPECT_EQ(m_port->ClosePort("lvoClosePort"), 0);
  ASSERT_TRUE(m_window->WaitFor(2));
  EXPECT_EQ(m_window->received[1].bit, 0x0008u);
  EXPECT_EQ(m_window->received[1].message, WM_PORT_RESPONSE);
}

TEST_F(Background, OtherWorkersEndSilentlyOnClose) {
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 0, 0, kAllBits), 0);
  EXPECT_EQ(m_port->ClosePort("lvoClosePort"), 0);
  m_window->PumpFor(50);
  EXPECT_TRUE(m_window->received.empty());
}

// The port object's destructor stops a waiting worker and the watcher and closes the line.
TEST_F(Background, DestroyingAnOpenPortStopsItsThreads) {
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 0, 0, kAllBits), 0);
  m_port.reset();
  EXPECT_FALSE(m_peer->HostOpen());
  m_window->PumpFor(30);
  EXPECT_TRUE(m_window->received.empty());
  m_port = std::make_unique<CCommPort>(kPortNo);  // for the fixture's tear-down
}

TEST_F(Background, DataWorkerAcksAndReportsTheLastFrame) {
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 500, 0, kAllBits), 0);
  m_peer->Write(B("xx") + Frame("one") + Frame("two"));
  const Notification& n = Only();
  EXPECT_EQ(n.message, WM_PORT_BCC);
  EXPECT_EQ(n.bit, 0x0002u);
  EXPECT_EQ(n.data, "two");
  EXPECT_TRUE(n.terminated);
  EXPECT_EQ(Hex(m_peer->ReadAll()), "06");
}

TEST_F(Background, DataWorkerWithoutAckDropsBadFrames) {
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,0,1)", 3, 0, 0, 0, kAllBits), 0);
  m_peer->Write(Frame("bad", 0x10));
  m_window->PumpFor(40);
  EXPECT_TRUE(m_window->received.empty());
  m_peer->Write(B({0x02, 'p'}));  // a block that ends inside a frame is no frame either
  m_window->PumpFor(40);
  EXPECT_TRUE(m_window->received.empty());
  m_peer->Write(Frame("good"));
  EXPECT_EQ(Only().data, "good");
  EXPECT_EQ(Hex(m_peer->ReadAll()), "") << "ACK mode 0 sends nothing";
}

TEST_F(Background, DataWorkerTimeOutBit) {
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 20, 0, kAllBits), 0);
  const Notification& n = Only();
  EXPECT_EQ(n.bit, 0x0100u);
  EXPECT_FALSE(n.hasData);
}

TEST_F(Background, HfWorkerTwoParts) {
  ASSERT_EQ(m_port->ReceiveDataHFAsync("lvoReceiveDataHF", 3, 1, 500, 0, kAllBits), 0);
  m_peer->Write(Frame("r1402one") + Frame("s0000two"));
  const Notification& n = Only();
  EXPECT_EQ(n.message, WM_PORT_HF);
  EXPECT_EQ(n.bit, 0x0001u);
  EXPECT_EQ(n.data, "r1402one");
  EXPECT_EQ(n.data2, "s0000two");
}

TEST_F(Background, HfWorkerOnePartAndBadCheck) {
  ASSERT_EQ(m_port->ReceiveDataHFAsync("lvoReceiveDataHF", 3, 0, 500, 0, kAllBits), 0);
  m_peer->Write(Frame("r1402one", 0x01));
  const Notification& n = Only();
  EXPECT_EQ(n.bit, 0x0800u);
  EXPECT_EQ(n.data, "r1402one");
  EXPECT_FALSE(n.hasData2);
}

TEST_F(Background, BinaryWorkerNaksBadReportsAndPostsTheGoodOne) {
  ASSERT_EQ(m_port->ReceiveBinaryReportAsync("lvoReceiveBinaryReport", 500, NoBinaryCallback, 0,
                                             kAllBits),
            0);
  m_peer->Write(BinaryFrame(B("bad"), 0x01));
  ASSERT_TRUE(m_peer->WaitReadable(500));
  EXPECT_EQ(Hex(m_peer->ReadAll()), "16 15");
  m_peer->Write(BinaryFrame(B({0x16, 0x00, 0x41})));
  const Notification& n = Only();
  EXPECT_EQ(n.message, WM_PORT_BINARY);
  EXPECT_EQ(n.bit, 0x0001u);
  EXPECT_EQ(Hex(B(n.data)), "16 00 41");
  EXPECT_EQ(Hex(m_peer->ReadAll()), "16 06");
}

TEST_F(Background, BinaryNotificationOutsideTheMaskIsDropped) {
  // The time-out bit is not in the mask: the worker reads on; the stop bit is not either, so
  // the stop report is dropped by the port (freed, nothing forwarded) and the slot still frees.
  ASSERT_EQ(
      m_port->ReceiveBinaryReportAsync("lvoReceiveBinaryReport", 10, NoBinaryCallback, 0, 0x0001),
      0);
  m_window->PumpFor(40);
  EXPECT_EQ(m_port->ReceiveBinaryReportAsync("x", 10, nullptr, 0, 0), 0);
  m_window->PumpFor(60);
  EXPECT_TRUE(m_window->received.empty());
  EXPECT_TRUE(SlotFree());
}

TEST_F(Background, NoControlWindowStillFreesTheSlot) {
  m_window.reset();
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 10, 0, kAllBits), 0);
  const uint32_t start = platform::TickCount();
  while (!SlotFree() && platform::TickCount() - start < 2000) platform::PumpMessages(20);
  EXPECT_TRUE(SlotFree());
}

TEST_F(Background, ReportsQueuedForADestroyedWindowAreFreed) {
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 10, 0, kAllBits), 0);
  // The port forwards the report to the control window's queue; the window goes before it
  // pumps again, and its dropper frees the record (the sanitizer run checks that it is freed).
  const uint32_t start = platform::TickCount();
  while (SlotFree() == false && platform::TickCount() - start < 2000) {
    platform::PumpMessages(1);
    if (SlotFree()) break;
  }
  m_window.reset();
  platform::PumpMessages(20);
  EXPECT_TRUE(SlotFree());
}

TEST_F(Background, StartRefusals) {
  EXPECT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, -1, -1, 0), 100);
  EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 100: Respons Timer Parameter Error");
  EXPECT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 0, -1, 0), 100);
  EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 100: Busy Respons Timer Parameter Error");
  EXPECT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, -1, 0, kAllBits), 100);
  EXPECT_EQ(m_port->ReceiveDataHFAsync("lvoReceiveDataHF", 3, 1, -1, 0, kAllBits), 100);
  EXPECT_EQ(m_port->ReceiveBinaryReportAsync("x", -1, NoBinaryCallback, 0, kAllBits), 100);
  EXPECT_EQ(m_port->ReceiveResponseCallback("x", 0, -1, NoCallback, 0, kAllBits), 100);
  // Stop requests with no worker succeed and post nothing.
  EXPECT_EQ(m_port->ReceiveResponseCallback("x", 0, 0, nullptr, 0, 0), 0);
  EXPECT_EQ(m_port->ReceiveBinaryReportAsync("x", 0, nullptr, 0, 0), 0);
  NewTrace();

  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 0, 0, kAllBits), 0);
  NewTrace();
  EXPECT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 0, 0, 0), 140);
  EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 140: ThreadType 3ec :Serial Port is busy");
  EXPECT_EQ(m_port->ReceiveDataHFAsync("lvoReceiveDataHF", 3, 1, 0, 0, kAllBits), 140);
  EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 140: Serial Port is busy");
  EXPECT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 0, 0, kAllBits), 30);
  EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 30: This port has already been registered.");
  EXPECT_EQ(m_port->ReceiveResponseCallback("x", 0, 0, nullptr, 0, 0), 140)
      << "a stop for another kind leaves the worker alone";
  EXPECT_EQ(m_port->SendCommand("lvoSendCommand", 10, 0, "S1", "", 0), 140);
  std::string s;
  EXPECT_EQ(m_port->ReceiveResponse("lvoReceiveResponse", 0, -1, 0, 0, &s, &s, &s), 100)
      << "the response receive makes no worker check";
  EXPECT_EQ(m_port->SetCancelFlag("SetCancelFlag", 2), 0);
  m_window->PumpFor(30);
  EXPECT_TRUE(m_window->received.empty()) << "flag 2 sets nothing";
  EXPECT_EQ(m_port->SetCancelFlag("SetCancelFlag", 1), 0);
  EXPECT_EQ(Only().bit, 0x0008u);
}

TEST_F(Background, ResponseKindsShareOneSlot) {
  ASSERT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 0, 0, 0), 0);
  EXPECT_EQ(m_port->ReceiveResponseCallback("x", 0, 0, NoCallback, 0, kAllBits), 30);
  EXPECT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 0, 0, kAllBits), 140);
  EXPECT_EQ(m_port->ReceiveBinaryReportAsync("x", 0, nullptr, 0, 0), 140);
}

TEST_F(Background, ChainedStartLeavesOutTheEntryLines) {
  ASSERT_EQ(m_port->ReceiveDataAsync({"lvoSendDataBCCRR", Bracket::kCloses}, 3, 1, 0, 0, kAllBits),
            0);
  EXPECT_EQ(NewTrace(),
            (std::vector<std::string>{"Info    |Return Value is 0", "CSUnlock|lvoSendDataBCCRR",
                                      "Exit    |lvoSendDataBCCRR"}));
}

// The caller's bracket role, not its name, decides the entry lines: the control's formatted name
// opens the bracket when the start is the whole operation and not when it closes a chain.
TEST_F(Background, BracketRoleDecidesTheEntryLines) {
  const std::string name = "lvoReceiveData(1,0,1)";
  ASSERT_EQ(m_port->ReceiveDataAsync({name.c_str(), Bracket::kWhole}, 3, 0, 0, 0, kAllBits), 0);
  EXPECT_EQ(NewTrace(), test::Bracket(name, {"Info    |Return Value is 0"}));
  ASSERT_EQ(m_port->SetCancelFlag("SetCancelFlag", 1), 0);
  ASSERT_EQ(Only().bit, 0x0008u);
  m_window->received.clear();
  NewTrace();
  ASSERT_EQ(m_port->ReceiveDataAsync({name.c_str(), Bracket::kCloses}, 3, 0, 0, 0, kAllBits), 0);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"Info    |Return Value is 0", "CSUnlock|" + name,
                                                  "Exit    |" + name}));
}

TEST_F(Background, NotOpenHasNoErrExit) {
  m_port->ClosePort("lvoClosePort");
  NewTrace();
  EXPECT_EQ(m_port->ReceiveDataHFAsync("lvoReceiveDataHF", 3, 1, 0, 0, kAllBits), 101);
  EXPECT_EQ(NewTrace(),
            (std::vector<std::string>{"Enter   |lvoReceiveDataHF", "CSLock  |lvoReceiveDataHF",
                                      "ErrInfo |ErrorCode 101: Serial Port is not opened yet",
                                      "CSUnlock|lvoReceiveDataHF"}));
}

// ---- comm-event watcher ----

class Watcher : public Background {
 protected:
  void SetUp() override {
    Background::SetUp();
    ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", NoCallback, 0, 0xFFF), 0);
  }
  std::vector<uint32_t> Bits() {
    std::vector<uint32_t> bits;
    for (const Notification& n : m_window->received) bits.push_back(n.bit);
    return bits;
  }
};

TEST_F(Watcher, DataArrivalOncePerTransition) {
  m_peer->Write(B("abc"));
  ASSERT_TRUE(m_window->WaitFor(1));
  m_peer->Write(B("de"));
  m_window->PumpFor(40);
  ASSERT_EQ(Bits(), std::vector<uint32_t>{0x001});
  EXPECT_EQ(m_window->received[0].message, WM_PORT_COMM);
  EXPECT_EQ(m_window->received[0].inQueue, 3u);
  std::string data;
  int16_t length = 0;
  ASSERT_EQ(m_port->ReceiveDataPlain("lvoReceiveData(0,0,0)", 0, &data, &length), 0);
  m_peer->Write(B("f"));
  ASSERT_TRUE(m_window->WaitFor(2));
  EXPECT_EQ(m_window->received[1].bit, 0x001u);
}

TEST_F(Watcher, DsrDropReportedRiseNot) {
  m_peer->SetModemLines(platform::kMsCtsOn | platform::kMsRlsdOn);
  ASSERT_TRUE(m_window->WaitFor(1));
  m_peer->SetModemLines(platform::kMsCtsOn | platform::kMsRlsdOn | platform::kMsDsrOn);
  m_window->PumpFor(40);
  EXPECT_EQ(Bits(), std::vector<uint32_t>{0x010});
}

TEST_F(Watcher, LineErrorsAndBreak) {
  m_peer->InjectErrors(platform::kCeFrame | platform::kCeRxParity);
  ASSERT_TRUE(m_window->WaitFor(2));
  m_window->PumpFor(20);
  EXPECT_EQ(Bits(), (std::vector<uint32_t>{0x200, 0x800}));
  m_window->received.clear();
  m_peer->InjectErrors(platform::kCeBreak);
  ASSERT_TRUE(m_window->WaitFor(1));
  m_window->PumpFor(20);
  EXPECT_EQ(Bits(), std::vector<uint32_t>{0x040});
}

TEST_F(Watcher, MaskGatesTheReports) {
  ASSERT_EQ(m_port->SetEventMask("SetEventMask", 0x010), 0);
  m_peer->Write(B("x"));
  m_peer->SetModemLines(platform::kMsCtsOn);
  ASSERT_TRUE(m_window->WaitFor(1));
  m_window->PumpFor(30);
  EXPECT_EQ(Bits(), std::vector<uint32_t>{0x010});
}

// The exchange's own data and transmit events are never reported, however late the watcher gets
// to them: with its trace lines on, the line hands them over as held; with them off, it drops
// them. Carrier (RLSD) changing after the exchange marks the end of what the watcher could report
// for it, so the first report must be that one (0x020, reported on every change).
TEST_F(Watcher, QuietDuringASynchronousExchange) {
  VirtualDevice device(m_peer,
                       [](const Bytes& m, int) { return m == kPoll ? Frame("A0000") : B({0x06}); });
  uint32_t lines = platform::kMsCtsOn | platform::kMsDsrOn | platform::kMsRlsdOn;
  for (int logging : {1, 0}) {
    test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path(), logging));
    m_port->ReloadSettings("ReloadSettings");
    m_window->received.clear();
    std::string s;
    ASSERT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, 200, 0, 0, "S1", "", 0, &s, &s, &s), 10);
    lines ^= platform::kMsRlsdOn;
    m_peer->SetModemLines(lines);
    ASSERT_TRUE(m_window->WaitFor(1));
    EXPECT_EQ(m_window->received[0].bit, 0x020u) << "logging " << logging;
    if (logging == 1) {
      // Held or not, every event the watcher sees is traced: the reply and the drained writes.
      uint32_t traced = 0;
      const std::string text = TraceText();
      const std::string tag = "Event Notification: 0x";
      for (std::size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
        traced |= static_cast<uint32_t>(std::stoul(text.substr(at + tag.size(), 8), nullptr, 16));
      }
      EXPECT_EQ(traced & (platform::kEvRxChar | platform::kEvTxEmpty),
                uint32_t{platform::kEvRxChar | platform::kEvTxEmpty});
    }
  }
}

// While no callback takes the data-arrived report and no trace line would show it, the line
// drops the data and transmit events and the watcher sleeps through them. Each way of coming to
// see them ends that: the next arrival is reported (or traced).
TEST_F(Background, DataArrivalIsSeenOnceSomebodyLooks) {
  test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path(), 0));
  m_port->ReloadSettings("ReloadSettings");
  auto unseen = [&](const char* way) {
    m_peer->Write(B("ab"));
    m_window->PumpFor(30);
    EXPECT_TRUE(m_window->received.empty()) << way;
    std::string data;
    int16_t length = 0;
    ASSERT_EQ(m_port->ReceiveDataPlain("lvoReceiveData(0,0,0)", 0, &data, &length), 0) << way;
  };
  auto arrivalReported = [&](const char* way) {
    m_peer->Write(B("c"));
    ASSERT_TRUE(m_window->WaitFor(1)) << way;
    EXPECT_EQ(m_window->received[0].bit, 0x001u) << way;
    std::string data;
    int16_t length = 0;
    ASSERT_EQ(m_port->ReceiveDataPlain("lvoReceiveData(0,0,0)", 0, &data, &length), 0) << way;
    ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", nullptr, 0, 0), 0);
    m_window->received.clear();
  };

  ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", NoCallback, 0, 0x010), 0);
  unseen("mask without the data bits");
  ASSERT_EQ(m_port->SetEventMask("SetEventMask", 0x001), 0);
  arrivalReported("the mask takes the data bit");

  unseen("no callback");
  ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", NoCallback, 0, 0x002), 0);
  const uint8_t byte = 'x';
  ASSERT_EQ(m_port->SendBinaryData("lvoSendBinaryData", 100, 0, 0, &byte, 1), 0);
  ASSERT_TRUE(m_window->WaitFor(1)) << "a callback for the transmit bit";
  EXPECT_EQ(m_window->received[0].bit, 0x002u);
  ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", nullptr, 0, 0), 0);
  m_window->received.clear();
  ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", NoCallback, 0, 0x001), 0);
  arrivalReported("a callback for the data bit");

  unseen("no callback again");
  test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path(), 1));
  m_port->ReloadSettings("ReloadSettings");
  m_peer->Write(B("e"));
  const std::string tag = "Event Notification: 0x00000001";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (TraceText().find(tag) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_NE(TraceText().find(tag), std::string::npos) << "logging on: the arrival is traced";
}

TEST_F(Watcher, UnregisteredCallbackReportsNothing) {
  ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", NoCallback, 0, 0xFFF), 30);
  ASSERT_EQ(m_port->WatchCommEvents("lvoOpenPort", nullptr, 0, 0), 0);
  m_peer->Write(B("abc"));
  m_window->PumpFor(40);
  EXPECT_TRUE(m_window->received.empty());
}

// A worker that ends at once (the line is gone) is reported and its slot freed on the pumping
// thread while another thread starts the next one: every start is reported exactly once, and no
// start touches a worker that the report handling frees (run under the sanitizers).
TEST_F(Background, StartsRaceTheReportsOfQuickWorkers) {
  m_peer->Disconnect();
  std::atomic<int> started{0};
  std::atomic<bool> done{false};
  std::thread starter([&] {
    const uint32_t begin = platform::TickCount();
    while (started < 300 && platform::TickCount() - begin < 3000) {
      if (m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 10, 0, 0) == 0) ++started;
    }
    done = true;
  });
  while (!done) platform::PumpMessages(1);
  starter.join();
  ASSERT_GT(started.load(), 0);
  EXPECT_TRUE(m_window->WaitFor(static_cast<std::size_t>(started.load())));
  m_window->PumpFor(20);
  EXPECT_EQ(m_window->received.size(), static_cast<std::size_t>(started.load()));
  EXPECT_TRUE(SlotFree());
}

// Starts, cancels and closes from one thread while another pumps: nothing leaks, hangs or races
// (run under the sanitizers).
TEST_F(Background, StressStartCancelCloseAndPump) {
  VirtualDevice device(m_peer, [](const Bytes& m, int i) {
    return m == kPoll ? (i % 3 == 0 ? Frame("A0000") : Frame("B0000")) : Bytes{};
  });
  std::atomic<bool> done{false};
  std::thread driver([&] {
    for (int i = 0; i < 60; ++i) {
      m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 20, 0, 0);
      m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 5, 0, kAllBits);
      m_port->SetCancelFlag("SetCancelFlag", 1);
      if (i % 7 == 0) {
        m_port->ClosePort("lvoClosePort");
        m_port->OpenPort("lvoOpenPort", 9600, "8", "N", 256, 256, 0);
      }
    }
    done = true;
  });
  while (!done) platform::PumpMessages(5);
  driver.join();
  m_port->ClosePort("lvoClosePort");
  m_window->PumpFor(50);
  EXPECT_TRUE(SlotFree());
}

}  // namespace
}  // namespace linvo::engine

namespace linvo::engine {
namespace {

// A port whose window's thread has ended: no worker report can be handled any more.
class OrphanedReports : public test::VirtualPortTest {
 protected:
  void SetUp() override {
    test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path()));
    m_peer = platform::RegisterVirtualLine("COM3");
    std::thread([this] { m_port = std::make_unique<CCommPort>(kPortNo); }).join();
    ASSERT_EQ(m_port->OpenPort("lvoOpenPort", 9600, "8", "N", 8192, 8192, 0), 0);
  }
};

// A worker whose report can never be handled neither keeps the slot nor hands its arguments to
// the next worker.
TEST_F(OrphanedReports, NextWorkerRunsWithItsOwnArguments) {
  // Without ACK mode and with a short time-out: the worker ends with a time-out report at once.
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,0,1)", 3, 0, 5, 0, kAllBits), 0);
  std::string s;
  const uint32_t start = platform::TickCount();
  Result r;
  while ((r = m_port->ReceiveDataFramed("lvoReceiveData(0,0,1)", 0, -1, 0, &s, nullptr)) == 140 &&
         platform::TickCount() - start < 2000) {
    std::this_thread::yield();
  }
  EXPECT_NE(r, 140) << "a synchronous operation is not refused because of the orphan";
  // Both workers: ACK mode on and a long time-out. With the first worker's arguments it would
  // neither wait long enough nor acknowledge the frame.
  ASSERT_EQ(m_port->ReceiveDataAsync("lvoReceiveData(1,1,1)", 3, 1, 2000, 0, kAllBits), 0);
  m_peer->Write(Frame("late"));
  ASSERT_TRUE(m_peer->WaitReadable(1000));
  EXPECT_EQ(Hex(m_peer->ReadAll()), "06");
}

}  // namespace
}  // namespace linvo::engine
