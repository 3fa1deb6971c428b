// Behaviour both serial backends share, run against a pseudo-terminal and a virtual line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"
#include "platform/posix/serial_tty.h"
#include "platform/wake_event.h"

namespace linvo::platform {
namespace {

using namespace std::chrono_literals;
constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// The device side of the line under test.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual void Send(const std::string& bytes) = 0;
  // What the host sent: waits until `count` bytes arrived (or two seconds passed: a hang guard).
  virtual std::string Receive(std::size_t count) = 0;
};

class PtyFarEnd final : public FarEnd {
 public:
  void Send(const std::string& bytes) override {
    ASSERT_EQ(write(m_pty.MasterFd(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  std::string Receive(std::size_t count) override {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{m_pty.MasterFd(), POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char chunk[256];
      const ssize_t n = read(m_pty.MasterFd(), chunk, sizeof chunk);
      if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
  }
  const std::string& Path() const { return m_pty.SlavePath(); }

 private:
  PseudoTerminal m_pty;
};

class VirtualFarEnd final : public FarEnd {
 public:
  VirtualFarEnd() : m_peer(RegisterVirtualLine("COM7")) {}
  ~VirtualFarEnd() override { UnregisterVirtualLine("COM7"); }
  void Send(const std::string& bytes) override { m_peer->Write(bytes); }
  std::string Receive(std::size_t count) override {
    std::string got;
    while (got.size() < count && m_peer->WaitReadable(2000)) {
      const std::vector<uint8_t> bytes = m_peer->ReadAll();
      got.append(bytes.begin(), bytes.end());
    }
    return got;
  }

 private:
  std::shared_ptr<VirtualPeer> m_peer;
};

enum class Backend { kPty, kVirtual };
std::ostream& operator<<(std::ostream& out, Backend backend) {
  return out << (backend == Backend::kPty ? "Pty" : "Virtual");
}

class SerialLineTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kPty) {
      auto far = std::make_unique<PtyFarEnd>();
      m_line = OpenTtyLine(far->Path(), {}).line;
      m_far = std::move(far);
    } else {
      m_far = std::make_unique<VirtualFarEnd>();
      m_line = OpenSerialLine("COM7", "").line;
    }
    ASSERT_NE(m_line, nullptr);
  }

  // Read with a guard: a read that does not return within five seconds is a failure, and the
  // far end then sends enough bytes to release it.
  IoResult GuardedRead(std::vector<uint8_t>& buffer) {
    auto pending =
        std::async(std::launch::async, [&] { return m_line->Read(buffer.data(), buffer.size()); });
    if (pending.wait_for(5s) == std::future_status::timeout) {
      ADD_FAILURE() << "Read did not return";
      m_far->Send(std::string(buffer.size(), 'x'));
    }
    return pending.get();
  }

  std::unique_ptr<FarEnd> m_far;
  std::unique_ptr<SerialLine> m_line;
};

std::string Text(const std::vector<uint8_t>& bytes, std::size_t count) {
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

TEST_P(SerialLineTest, CarriesEveryByteValueBothWays) {
  // Control characters a cooked line would eat or translate: NUL, XON/XOFF, CR, LF, ^C, DEL.
  std::string bytes = std::string("\x00\x11\x13\r\n\x03\x7f\x02STX\x03", 12);
  for (int b = 0x80; b <= 0xff; ++b) bytes.push_back(static_cast<char>(b));

  const IoResult written =
      m_line->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(written.status, IoStatus::kOk);
  EXPECT_EQ(written.bytes, bytes.size());
  EXPECT_EQ(m_far->Receive(bytes.size()), bytes);

  m_far->Send(bytes);
  std::vector<uint8_t> buffer(bytes.size());
  const IoResult read = GuardedRead(buffer);  // all-zero time-outs: until every byte is there
  EXPECT_EQ(read.status, IoStatus::kOk);
  EXPECT_EQ(Text(buffer, read.bytes), bytes);
}

TEST_P(SerialLineTest, ReadAvailableAndWaitReadable) {
  uint8_t buffer[8];
  IoResult got = m_line->ReadAvailable(buffer, sizeof buffer);
  EXPECT_EQ(got.status, IoStatus::kOk);
  EXPECT_EQ(got.bytes, 0u);

  WakeEvent wake;
  EXPECT_EQ(m_line->WaitReadable(20, &wake), WaitResult::kTimeout);
  wake.Signal();
  EXPECT_EQ(m_line->WaitReadable(-1, &wake), WaitResult::kWoken);
  wake.Clear();

  m_far->Send("ok");
  EXPECT_EQ(m_line->WaitReadable(2000, &wake), WaitResult::kReady);
  got = m_line->ReadAvailable(buffer, sizeof buffer);
  EXPECT_EQ(got.status, IoStatus::kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got.bytes), "ok");
}

struct ReadCase {
  const char* what;
  CommTimeouts timeouts;
  std::string waiting;  // bytes the far end sent before the read
  std::size_t size;
};

TEST_P(SerialLineTest, ReadHonoursCommTimeouts) {
  const ReadCase cases[] = {
      {"total 1 ms, silent line", {0, 0, 1, 0, 0}, "", 5},
      {"interval ends a short burst", {20, 0, 0, 0, 0}, "abc", 10},
      {"total ends a short burst", {0, 0, 30, 0, 0}, "abcd", 10},
      {"MAXDWORD interval: what is there", {kMaxDword, 0, 0, 0, 0}, "ab", 10},
      {"MAXDWORD interval: nothing there", {kMaxDword, 0, 0, 0, 0}, "", 10},
      {"all zero: exactly size", {0, 0, 0, 0, 0}, "12345", 5},
      {"size reached before the time-out", {0, 10, 0, 0, 0}, "123456", 4},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(m_line->Purge(kPurgeRxClear));
    ASSERT_TRUE(m_line->SetTimeouts(c.timeouts));
    if (!c.waiting.empty()) {
      m_far->Send(c.waiting);
      ASSERT_EQ(m_line->WaitReadable(2000, nullptr), WaitResult::kReady);
    }
    std::vector<uint8_t> buffer(c.size);
    const IoResult got = GuardedRead(buffer);
    EXPECT_EQ(got.status, IoStatus::kOk);
    EXPECT_EQ(Text(buffer, got.bytes), c.waiting.substr(0, c.size));
  }
}

TEST_P(SerialLineTest, StateRoundTripAndRejectedValues) {
  DeviceControlBlock dcb;
  dcb.BaudRate = 250000;  // not a standard rate: termios2 on a tty
  dcb.ByteSize = 7;
  dcb.Parity = kEvenParity;
  dcb.StopBits = kTwoStopBits;
  dcb.fOutxCtsFlow = true;
  dcb.fOutxDsrFlow = true;  // kept, though termios cannot hold it
  dcb.fDtrControl = kDtrControlHandshake;
  dcb.fAbortOnError = true;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(m_line->SetState(dcb));
  DeviceControlBlock got;
  ASSERT_TRUE(m_line->GetState(&got));
  EXPECT_EQ(got.BaudRate, 250000u);
  EXPECT_EQ(got.ByteSize, 7);
  EXPECT_EQ(got.Parity, kEvenParity);
  EXPECT_EQ(got.StopBits, kTwoStopBits);
  EXPECT_TRUE(got.fOutxCtsFlow);
  EXPECT_TRUE(got.fOutxDsrFlow);
  EXPECT_EQ(got.fDtrControl, kDtrControlHandshake);
  EXPECT_TRUE(got.fAbortOnError);
  EXPECT_EQ(got.EvtChar, '\n');

  struct Bad {
    const char* what;
    void (*spoil)(DeviceControlBlock&);
  };
  const Bad bad[] = {
      {"byte size 9", [](DeviceControlBlock& d) { d.ByteSize = 9; }},
      {"byte size 4", [](DeviceControlBlock& d) { d.ByteSize = 4; }},
      {"baud rate 0", [](DeviceControlBlock& d) { d.BaudRate = 0; }},
      {"parity 5", [](DeviceControlBlock& d) { d.Parity = 5; }},
      {"stop bits 3", [](DeviceControlBlock& d) { d.StopBits = 3; }},
      {"DTR mode 3", [](DeviceControlBlock& d) { d.fDtrControl = 3; }},
  };
  for (const Bad& b : bad) {
    DeviceControlBlock wrong;
    b.spoil(wrong);
    EXPECT_FALSE(m_line->SetState(wrong)) << b.what;
    ASSERT_TRUE(m_line->GetState(&got));
    EXPECT_EQ(got.BaudRate, 250000u) << b.what;
    EXPECT_EQ(got.ByteSize, 7) << b.what;
  }
}

TEST_P(SerialLineTest, PurgeDropsReceivedBytes) {
  m_far->Send("stale");
  ASSERT_EQ(m_line->WaitReadable(2000, nullptr), WaitResult::kReady);
  EXPECT_TRUE(m_line->Purge(kPurgeRxClear | kPurgeRxAbort));
  uint8_t buffer[8];
  EXPECT_EQ(m_line->ReadAvailable(buffer, sizeof buffer).bytes, 0u);
  CommStatus status{99, 99};
  uint32_t errors = 99;
  EXPECT_TRUE(m_line->ClearError(&errors, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  EXPECT_EQ(errors, 0u);

  // What kPurgeTxClear drops depends on the driver (a pseudo-terminal drops what the master
  // has not read; the virtual line has sent everything already): see the backends' tests.
  EXPECT_TRUE(m_line->Purge(kPurgeTxClear | kPurgeTxAbort));
  EXPECT_FALSE(m_line->Purge(0x10));
}

TEST_P(SerialLineTest, WaitEventReportsReceiveAndTransmitEmpty) {
  uint32_t events = 99;
  EXPECT_EQ(m_line->WaitEvent(&events, 0, nullptr), WaitResult::kFailed) << "empty mask";
  ASSERT_TRUE(m_line->SetEventMask(kEvRxChar | kEvTxEmpty));
  uint32_t mask = 0;
  EXPECT_TRUE(m_line->GetEventMask(&mask));
  EXPECT_EQ(mask, uint32_t{kEvRxChar | kEvTxEmpty});
  EXPECT_EQ(m_line->WaitEvent(&events, 20, nullptr), WaitResult::kTimeout);
  EXPECT_EQ(events, 0u);

  m_far->Send("a");
  EXPECT_EQ(m_line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, uint32_t{kEvRxChar});
  // The byte stays unread: no new event until another byte comes.
  EXPECT_EQ(m_line->WaitEvent(&events, 30, nullptr), WaitResult::kTimeout);
  m_far->Send("b");
  EXPECT_EQ(m_line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, uint32_t{kEvRxChar});
  // A reader empties the queue and a byte comes before the next wait: still a new byte.
  uint8_t buffer[8];
  EXPECT_EQ(m_line->ReadAvailable(buffer, sizeof buffer).bytes, 2u);
  m_far->Send("c");
  ASSERT_EQ(m_line->WaitReadable(2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(m_line->ReadAvailable(buffer, sizeof buffer).bytes, 1u);
  EXPECT_EQ(m_line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, uint32_t{kEvRxChar});

  const uint8_t out = 'z';
  ASSERT_EQ(m_line->Write(&out, 1).bytes, 1u);
  EXPECT_EQ(m_line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, uint32_t{kEvTxEmpty});
}

// A hold owns the receive and transmit events that happen while it lasts, however late a waiter
// looks at them: dropped, or handed over as held. Events after the release are the waiter's.
TEST_P(SerialLineTest, HeldEventsBelongToTheHold) {
  ASSERT_TRUE(m_line->SetEventMask(kEvRxChar | kEvTxEmpty));
  constexpr uint32_t kHeld = kEvRxChar | kEvTxEmpty;
  uint32_t events = 99;
  uint32_t held = 99;
  uint8_t buffer[8];
  // An exchange: a write that drains and a reply that is read, all before anyone waits.
  auto exchange = [&](char out, const std::string& reply) {
    const uint8_t byte = static_cast<uint8_t>(out);
    ASSERT_EQ(m_line->Write(&byte, 1).bytes, 1u);
    ASSERT_EQ(m_far->Receive(1), std::string(1, out));
    m_far->Send(reply);
    ASSERT_EQ(m_line->WaitReadable(2000, nullptr), WaitResult::kReady);
    ASSERT_EQ(m_line->ReadAvailable(buffer, sizeof buffer).bytes, reply.size());
  };

  m_line->HoldEvents(kHeld, false);
  exchange('p', "a");
  EXPECT_EQ(m_line->WaitEventHeld(&events, &held, 20, nullptr), WaitResult::kTimeout);
  m_line->ReleaseEvents();
  EXPECT_EQ(m_line->WaitEventHeld(&events, &held, 30, nullptr), WaitResult::kTimeout)
      << "dropped events came back: " << events;

  m_line->HoldEvents(kHeld, true);
  exchange('q', "b");
  m_line->ReleaseEvents();
  ASSERT_EQ(m_line->WaitEventHeld(&events, &held, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, kHeld);
  EXPECT_EQ(held, kHeld);

  // After the release: the waiter's own events again, also for a waiter that slept through it.
  auto waiting = std::async(std::launch::async, [&] {
    uint32_t seen = 0;
    uint32_t seenHeld = 99;
    EXPECT_EQ(m_line->WaitEventHeld(&seen, &seenHeld, 2000, nullptr), WaitResult::kReady);
    EXPECT_EQ(seenHeld, 0u);
    return seen;
  });
  m_line->HoldEvents(kHeld, false);
  m_line->ReleaseEvents();
  m_far->Send("c");
  EXPECT_EQ(waiting.get(), uint32_t{kEvRxChar});
  const uint8_t out = 'r';
  ASSERT_EQ(m_line->Write(&out, 1).bytes, 1u);
  ASSERT_EQ(m_line->WaitEventHeld(&events, &held, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, uint32_t{kEvTxEmpty});
  EXPECT_EQ(held, 0u);
}

TEST_P(SerialLineTest, WaitEventEndsOnWakeAndOnNewMask) {
  ASSERT_TRUE(m_line->SetEventMask(kEvCts));
  WakeEvent wake;
  wake.Signal();
  uint32_t events = 99;
  EXPECT_EQ(m_line->WaitEvent(&events, -1, &wake), WaitResult::kWoken);
  EXPECT_EQ(events, 0u);

  // SetCommMask ends a pending wait with no events. The wait may begin after the new mask on a
  // slow machine; then it times out and the round is tried again.
  WaitResult result = WaitResult::kTimeout;
  for (int round = 0; round < 5 && result == WaitResult::kTimeout; ++round) {
    auto waiting = std::async(std::launch::async, [&] {
      uint32_t seen = 99;
      const WaitResult r = m_line->WaitEvent(&seen, 500, nullptr);
      EXPECT_EQ(seen, 0u);
      return r;
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(m_line->SetEventMask(kEvCts | kEvDsr));
    result = waiting.get();
  }
  EXPECT_EQ(result, WaitResult::kReady);
}

TEST_P(SerialLineTest, QueueSizesTimeoutsAndUnknownEscape) {
  EXPECT_TRUE(m_line->SetQueueSizes(4096, 4096));
  const CommTimeouts set{1, 2, 3, 4, 5};
  EXPECT_TRUE(m_line->SetTimeouts(set));
  CommTimeouts got;
  EXPECT_TRUE(m_line->GetTimeouts(&got));
  EXPECT_EQ(got.ReadIntervalTimeout, 1u);
  EXPECT_EQ(got.WriteTotalTimeoutConstant, 5u);
  EXPECT_FALSE(m_line->EscapeFunction(7));  // RESETDEV: not a function of this line
}

INSTANTIATE_TEST_SUITE_P(Backends, SerialLineTest,
                         ::testing::Values(Backend::kPty, Backend::kVirtual), [](const auto& info) {
                           return info.param == Backend::kPty ? "Pty" : "Virtual";
                         });

}  // namespace
}  // namespace linvo::platform
