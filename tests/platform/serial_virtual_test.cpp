// The virtual null-modem line: the far end's controls as the host end sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"
#include "platform/wake_event.h"

namespace linvo::platform {
namespace {

using namespace std::chrono_literals;

class SerialVirtualTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_peer = RegisterVirtualLine("COM5");
    m_line = OpenSerialLine("COM5", "").line;
    ASSERT_NE(m_line, nullptr);
  }
  void TearDown() override { UnregisterVirtualLine("COM5"); }

  IoResult Write(const std::string& bytes) {
    return m_line->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::string Received() {
    const std::vector<uint8_t> bytes = m_peer->ReadAll();
    return std::string(bytes.begin(), bytes.end());
  }

  std::shared_ptr<VirtualPeer> m_peer;
  std::unique_ptr<SerialLine> m_line;
};

TEST_F(SerialVirtualTest, OneHostEndAtATime) {
  EXPECT_TRUE(m_peer->HostOpen());
  EXPECT_EQ(m_line->DevicePath(), "virtual:COM5");
  EXPECT_EQ(OpenSerialLine("\\\\.\\COM5", "").line, nullptr);
  m_line.reset();
  EXPECT_FALSE(m_peer->HostOpen());
  m_line = OpenSerialLine("COM5", "").line;
  EXPECT_NE(m_line, nullptr);
}

TEST_F(SerialVirtualTest, ModemLinesBothWays) {
  uint32_t status = 0;
  ASSERT_TRUE(m_line->GetModemStatus(&status));
  EXPECT_EQ(status, uint32_t{kMsCtsOn | kMsDsrOn | kMsRlsdOn});
  m_peer->SetModemLines(kMsCtsOn | kMsRingOn | 0x1000);  // unknown bits are dropped
  EXPECT_EQ(m_peer->ModemLines(), uint32_t{kMsCtsOn | kMsRingOn});
  ASSERT_TRUE(m_line->GetModemStatus(&status));
  EXPECT_EQ(status, uint32_t{kMsCtsOn | kMsRingOn});

  EXPECT_EQ(m_peer->HostLines(), uint32_t{kHostDtr | kHostRts}) << "raised by the open";
  struct Step {
    uint32_t function;
    uint32_t lines;
  };
  const Step steps[] = {
      {kClrDtr, kHostRts},   {kSetBreak, kHostRts | kHostBreak},
      {kClrRts, kHostBreak}, {kSetDtr, kHostDtr | kHostBreak},
      {kClrBreak, kHostDtr}, {kSetRts, kHostDtr | kHostRts},
  };
  for (const Step& step : steps) {
    EXPECT_TRUE(m_line->EscapeFunction(step.function));
    EXPECT_EQ(m_peer->HostLines(), step.lines) << step.function;
  }
  DeviceControlBlock dcb;
  dcb.fDtrControl = kDtrControlDisable;
  dcb.fRtsControl = kRtsControlHandshake;
  ASSERT_TRUE(m_line->SetState(dcb));
  EXPECT_EQ(m_peer->HostLines(), uint32_t{kHostRts});
  m_line.reset();
  EXPECT_EQ(m_peer->HostLines(), 0u) << "closing drops DTR and RTS";
}

struct EventCase {
  const char* what;
  uint32_t mask;
  std::function<void(VirtualPeer&, SerialLine&)> act;
  uint32_t events;  // 0: none, the wait times out
};

TEST_F(SerialVirtualTest, FarEndRaisesEvents) {
  constexpr uint32_t kAll =
      kEvRxChar | kEvRxFlag | kEvTxEmpty | kEvCts | kEvDsr | kEvRlsd | kEvBreak | kEvErr | kEvRing;
  const EventCase cases[] = {
      {"CTS drops", kAll,
       [](VirtualPeer& p, SerialLine&) { p.SetModemLines(kMsDsrOn | kMsRlsdOn); }, kEvCts},
      {"all drop", kAll, [](VirtualPeer& p, SerialLine&) { p.SetModemLines(0); },
       kEvCts | kEvDsr | kEvRlsd},
      {"ring", kAll,
       [](VirtualPeer& p, SerialLine&) {
         p.SetModemLines(kMsCtsOn | kMsDsrOn | kMsRlsdOn | kMsRingOn);
       },
       kEvRing},
      {"same lines again", kAll,
       [](VirtualPeer& p, SerialLine&) { p.SetModemLines(kMsCtsOn | kMsDsrOn | kMsRlsdOn); }, 0},
      {"only the mask", kEvDsr, [](VirtualPeer& p, SerialLine&) { p.SetModemLines(0); }, kEvDsr},
      {"framing error", kAll, [](VirtualPeer& p, SerialLine&) { p.InjectErrors(kCeFrame); },
       kEvErr},
      {"break", kAll, [](VirtualPeer& p, SerialLine&) { p.InjectErrors(kCeBreak); },
       kEvErr | kEvBreak},
      {"byte", kAll, [](VirtualPeer& p, SerialLine&) { p.Write("a"); }, kEvRxChar},
      {"event character", kAll, [](VirtualPeer& p, SerialLine&) { p.Write("ab\n"); },
       kEvRxChar | kEvRxFlag},
      {"byte outside the mask", kEvCts, [](VirtualPeer& p, SerialLine&) { p.Write("a"); }, 0},
      {"host write", kAll,
       [](VirtualPeer&, SerialLine& l) {
         const uint8_t b = 1;
         l.Write(&b, 1);
       },
       kEvTxEmpty},
  };
  DeviceControlBlock dcb;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(m_line->SetState(dcb));
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.what);
    m_peer->SetModemLines(kMsCtsOn | kMsDsrOn | kMsRlsdOn);
    ASSERT_TRUE(m_line->SetEventMask(c.mask));
    c.act(*m_peer, *m_line);
    uint32_t events = 99;
    EXPECT_EQ(m_line->WaitEvent(&events, c.events != 0 ? 2000 : 10, nullptr),
              c.events != 0 ? WaitResult::kReady : WaitResult::kTimeout);
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(m_line->WaitEvent(&events, 0, nullptr), WaitResult::kTimeout) << "reported once";
  }
}

TEST_F(SerialVirtualTest, TransmitPurgeFindsNothingToDrop) {
  ASSERT_EQ(Write("sent").bytes, 4u);
  EXPECT_TRUE(m_line->Purge(kPurgeTxClear));
  EXPECT_EQ(Received(), "sent");
}

TEST_F(SerialVirtualTest, ClearErrorReportsInjectedErrorsOnce) {
  m_peer->InjectErrors(kCeFrame);
  m_peer->InjectErrors(kCeOverrun);
  m_peer->Write("abc");
  uint32_t errors = 0;
  CommStatus status;
  ASSERT_TRUE(m_line->ClearError(&errors, &status));
  EXPECT_EQ(errors, uint32_t{kCeFrame | kCeOverrun});
  EXPECT_EQ(status.cbInQue, 3u);
  EXPECT_EQ(status.cbOutQue, 0u);
  ASSERT_TRUE(m_line->ClearError(&errors, nullptr));
  EXPECT_EQ(errors, 0u);
}

TEST_F(SerialVirtualTest, BlockedWaitEndsOnEvent) {
  ASSERT_TRUE(m_line->SetEventMask(kEvDsr));
  auto waiting = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    const WaitResult result = m_line->WaitEvent(&events, 5000, nullptr);
    return std::make_pair(result, events);
  });
  ASSERT_TRUE(m_peer->WaitHostWaiting(1, 5000));
  m_peer->SetModemLines(kMsCtsOn);
  EXPECT_EQ(waiting.get(), std::make_pair(WaitResult::kReady, uint32_t{kEvDsr}));
}

TEST_F(SerialVirtualTest, WaitModemLinesFollowsTheFarEnd) {
  m_peer->SetModemLines(0);
  EXPECT_EQ(m_line->WaitModemLines(kMsDsrOn, 10, nullptr), WaitResult::kTimeout);
  WakeEvent wake;
  wake.Signal();
  EXPECT_EQ(m_line->WaitModemLines(kMsDsrOn, -1, &wake), WaitResult::kWoken);

  auto waiting = std::async(std::launch::async, [&] {
    return m_line->WaitModemLines(kMsCtsOn | kMsDsrOn, 5000, nullptr);
  });
  ASSERT_TRUE(m_peer->WaitHostWaiting(1, 5000));
  m_peer->SetModemLines(kMsCtsOn);  // not yet both
  ASSERT_TRUE(m_peer->WaitHostWaiting(1, 5000));
  m_peer->SetModemLines(kMsCtsOn | kMsDsrOn | kMsRingOn);
  EXPECT_EQ(waiting.get(), WaitResult::kReady);

  auto failing = std::async(std::launch::async,
                            [&] { return m_line->WaitModemLines(kMsRlsdOn, -1, nullptr); });
  ASSERT_TRUE(m_peer->WaitHostWaiting(1, 5000));
  m_peer->Disconnect();
  EXPECT_EQ(failing.get(), WaitResult::kFailed);
}

TEST_F(SerialVirtualTest, StalledTransmitterHoldsWritesUntilTheirTimeOut) {
  ASSERT_TRUE(m_line->SetTimeouts({0, 0, 0, 1, 10}));  // 1 ms a byte + 10 ms
  m_peer->StallTransmitter(true);
  IoResult written = Write("hello");
  EXPECT_EQ(written.status, IoStatus::kOk);
  EXPECT_EQ(written.bytes, 0u);
  EXPECT_EQ(Received(), "");

  // Without a time-out the write waits for the unstall and then delivers everything.
  ASSERT_TRUE(m_line->SetTimeouts({}));
  auto pending = std::async(std::launch::async, [&] { return Write("hello"); });
  ASSERT_TRUE(m_peer->WaitHostWaiting(1, 5000));
  m_peer->StallTransmitter(false);
  written = pending.get();
  EXPECT_EQ(written.status, IoStatus::kOk);
  EXPECT_EQ(written.bytes, 5u);
  EXPECT_EQ(Received(), "hello");
}

TEST_F(SerialVirtualTest, DisconnectFailsBlockedAndLaterCalls) {
  ASSERT_TRUE(m_line->SetEventMask(kEvRxChar));
  m_peer->StallTransmitter(true);
  auto readable = std::async(std::launch::async, [&] { return m_line->WaitReadable(-1, nullptr); });
  auto event = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    return m_line->WaitEvent(&events, -1, nullptr);
  });
  auto write = std::async(std::launch::async, [&] { return Write("held").status; });
  ASSERT_TRUE(m_peer->WaitHostWaiting(3, 5000));
  m_peer->Disconnect();
  EXPECT_EQ(readable.get(), WaitResult::kFailed);
  EXPECT_EQ(event.get(), WaitResult::kFailed);
  EXPECT_EQ(write.get(), IoStatus::kWaitFailed);

  uint8_t buffer[4];
  EXPECT_EQ(m_line->Read(buffer, sizeof buffer).status, IoStatus::kWaitFailed);
  EXPECT_EQ(m_line->ReadAvailable(buffer, sizeof buffer).status, IoStatus::kWaitFailed);
  EXPECT_EQ(Write("x").status, IoStatus::kWaitFailed);
  m_line.reset();
  EXPECT_EQ(OpenSerialLine("COM5", "").line, nullptr) << "the device is gone";
}

// How the line ends decides what the host's failed calls say: a far end that went away gives no
// system error and leaves the modem status readable; an adapter unplugged at the host (Fail)
// gives the chosen error to every call, the waiting ones and the modem-status read included.
struct LineEndCase {
  const char* name;
  int error;  // 0: Disconnect, else Fail(error)
};

class SerialVirtualEnd : public SerialVirtualTest,
                         public ::testing::WithParamInterface<LineEndCase> {};

TEST_P(SerialVirtualEnd, FailedCallsCarryItsSystemError) {
  const int error = GetParam().error;
  ASSERT_TRUE(m_line->SetEventMask(kEvRxChar));
  auto readable = std::async(std::launch::async, [&] { return m_line->WaitReadable(-1, nullptr); });
  auto event = std::async(std::launch::async, [&] {
    uint32_t events = 0;
    return m_line->WaitEvent(&events, -1, nullptr);
  });
  auto modem = std::async(std::launch::async,
                          [&] { return m_line->WaitModemLines(kMsRingOn, -1, nullptr); });
  ASSERT_TRUE(m_peer->WaitHostWaiting(3, 5000));
  error == 0 ? m_peer->Disconnect() : m_peer->Fail(error);
  for (const WaitOutcome& waited : {readable.get(), event.get(), modem.get()}) {
    EXPECT_EQ(waited, WaitResult::kFailed);
    EXPECT_EQ(waited.error, error);
  }
  uint8_t buffer[4];
  for (const IoResult& failed : {m_line->Read(buffer, sizeof buffer),
                                 m_line->ReadAvailable(buffer, sizeof buffer), Write("x")}) {
    EXPECT_EQ(failed.status, IoStatus::kWaitFailed);
    EXPECT_EQ(failed.error, error);
  }
  uint32_t status = 0;
  const LineResult read = m_line->GetModemStatus(&status);
  EXPECT_EQ(static_cast<bool>(read), error == 0);
  EXPECT_EQ(read.error, error);
}

INSTANTIATE_TEST_SUITE_P(Ends, SerialVirtualEnd,
                         ::testing::Values(LineEndCase{"FarEndGone", 0},
                                           LineEndCase{"AdapterUnplugged", 19}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialVirtualTest, EitherEndMayGoFirst) {
  m_peer.reset();  // the host end keeps the line
  EXPECT_EQ(Write("x").bytes, 1u);
  uint8_t buffer[4];
  EXPECT_EQ(m_line->ReadAvailable(buffer, sizeof buffer).bytes, 0u);

  m_peer = RegisterVirtualLine("COM6");
  auto line = OpenSerialLine("COM6", "").line;
  ASSERT_NE(line, nullptr);
  UnregisterVirtualLine("COM6");
  m_peer->Write("y");
  EXPECT_EQ(line->ReadAvailable(buffer, sizeof buffer).bytes, 1u);
  line.reset();
  m_peer->Write("lost");  // nobody listens
  EXPECT_FALSE(m_peer->HostOpen());
}

}  // namespace
}  // namespace linvo::platform
