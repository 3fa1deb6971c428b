// The fault matrix: every way a line or a device can misbehave ends the operation with its code
// within a bound, leaves the port usable for a good exchange, and leaves no descriptor or thread
// behind (the address sanitizer build checks memory).
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "support/port_fixture.h"

namespace linvo::engine {
namespace {

using test::B;
using test::Bytes;
using test::Frame;
using test::Hex;
using test::VirtualDevice;
using test::operator+;

const Bytes kPoll = B({0x04, 0x05});
const Bytes kAckByte = B({0x06});
const Bytes kNakByte = B({0x15});

std::size_t CountEntries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Writes the pattern to the line again and again, without a pause the receiver could take for
// the end of a burst, until destroyed.
class Stream {
 public:
  Stream(std::shared_ptr<platform::VirtualPeer> peer, Bytes pattern)
      : m_thread([this, peer = std::move(peer), pattern = std::move(pattern)] {
          while (!m_stop) {
            peer->Write(pattern);
            // Paced so that the line's queue stays short: about 2 MB/s.
            std::this_thread::sleep_for(std::chrono::microseconds(pattern.size() / 2));
          }
        }) {}
  ~Stream() {
    m_stop = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class FaultMatrix;

struct FaultCase {
  const char* name;
  // Sets up the fault: line state, a scripted device, a stream (kept by the fixture).
  std::function<void(FaultMatrix&)> fault;
  // The operation under the fault; returns its code.
  std::function<Result(CCommPort&)> operation;
  Result expected;
  // Generous: the operation must end well before this; it is no timing assertion.
  int deadlineMs;
  // Undoes the fault's line state before the good exchange (null: nothing to undo).
  std::function<void(FaultMatrix&)> recover = nullptr;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultMatrix : public test::VirtualPortTest, public ::testing::WithParamInterface<FaultCase> {
 public:
  std::shared_ptr<platform::VirtualPeer>& Peer() { return m_peer; }
  void Device(VirtualDevice::Script script) {
    m_device = std::make_unique<VirtualDevice>(m_peer, std::move(script));
  }
  void StartStream(Bytes pattern) { m_stream = std::make_unique<Stream>(m_peer, pattern); }
  // A disconnected line cannot be opened again: close the port, register the line anew, reopen.
  void Reconnect() {
    ASSERT_EQ(m_port->ClosePort("lvoClosePort"), 0);
    m_peer = platform::RegisterVirtualLine("COM3");
    ASSERT_EQ(m_port->OpenPort("lvoOpenPort", 9600, "8", "N", 8192, 8192, 0), 0);
  }
  // An endless stream ends a receive by its overall bound, which follows the line's speed: a
  // fast line keeps the case short.
  void Reopen(int32_t baudRate) {
    ASSERT_EQ(m_port->ClosePort("lvoClosePort"), 0);
    ASSERT_EQ(m_port->OpenPort("lvoOpenPort", baudRate, "8", "N", 8192, 8192, 0), 0);
  }

 protected:
  void SetUp() override {
    VirtualPortTest::SetUp();
    // One exchange first, so that whatever the port creates on first use is in the baseline.
    GoodExchange();
    m_fds = CountEntries("/proc/self/fd");
    m_threads = CountEntries("/proc/self/task");
  }

  // SendDataBCC: data frame, ACK, reply frame, ACK.
  void GoodExchange() {
    m_port->ComBufferClear("lvoComBufferClear(2)");
    m_peer->ReadAll();
    VirtualDevice device(m_peer, [](const Bytes& m, int) {
      return m == Frame("HELLO") ? kAckByte + Frame("OK") : Bytes{};
    });
    std::string reply;
    int16_t replyLength = 0;
    ASSERT_EQ(m_port->SendDataBCC("lvoSendDataBCCRR", 0, 1000, 0, "HELLO", 5, &reply, &replyLength),
              0);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(device.WaitMessages(2));
    EXPECT_EQ(Hex(device.Messages()[0]), Hex(Frame("HELLO")));
    EXPECT_EQ(Hex(device.Messages()[1]), Hex(kAckByte));
  }

  std::unique_ptr<VirtualDevice> m_device;
  std::unique_ptr<Stream> m_stream;
  std::size_t m_fds = 0;
  std::size_t m_threads = 0;
};

TEST_P(FaultMatrix, EndsWithItsCodeAndLeavesThePortUsable) {
  const FaultCase& c = GetParam();
  c.fault(*this);
  auto done = std::async(std::launch::async, [&] { return c.operation(*m_port); });
  const bool ended =
      done.wait_for(std::chrono::milliseconds(c.deadlineMs)) == std::future_status::ready;
  // Unstick an operation that did not end, so that the test fails instead of hanging.
  m_stream.reset();
  m_device.reset();
  if (!ended) m_peer->Disconnect();
  const Result code = done.get();
  ASSERT_TRUE(ended) << c.name << " did not end within " << c.deadlineMs << " ms";
  EXPECT_EQ(code, c.expected) << c.name;

  if (c.recover) c.recover(*this);
  GoodExchange();
  EXPECT_EQ(CountEntries("/proc/self/fd"), m_fds) << "descriptors left behind";
  EXPECT_EQ(CountEntries("/proc/self/task"), m_threads) << "threads left behind";
}

Result ReceiveFramed(CCommPort& port, int16_t ackResponse, int32_t timer, int32_t dsrCheck = 0) {
  std::string data;
  int16_t length = 0;
  return port.ReceiveDataFramed("lvoReceiveData", ackResponse, timer, dsrCheck, &data, &length);
}

// Bytes without STX: no frame can start in them.
Bytes Garbage(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(0x03 + (i * 131) % 250);
  return out;
}

const FaultCase kCases[] = {
    {"DisconnectMidFrame",
     [](FaultMatrix& t) {
       t.Peer()->Write(B({0x02}) + B("A01"));
       t.Peer()->Disconnect();
     },
     [](CCommPort& p) { return ReceiveFramed(p, 0, 5000); }, kReceiveError, 4000,
     [](FaultMatrix& t) { t.Reconnect(); }},
    {"CtsHeldOff",
     [](FaultMatrix& t) { t.Peer()->SetModemLines(platform::kMsDsrOn | platform::kMsRlsdOn); },
     [](CCommPort& p) { return p.SendDataNoAck("lvoSendData", 100, 0, "HELLO", 5); }, kCtsTimeout,
     4000,
     [](FaultMatrix& t) {
       t.Peer()->SetModemLines(platform::kMsCtsOn | platform::kMsDsrOn | platform::kMsRlsdOn);
     }},
    {"DsrDropDuringReceive",
     [](FaultMatrix& t) {
       t.Peer()->Write(B({0x02}) + B("A01"));
       t.Peer()->SetModemLines(platform::kMsCtsOn | platform::kMsRlsdOn);
     },
     [](CCommPort& p) { return ReceiveFramed(p, 0, 5000, 1); }, kDsrError, 4000,
     [](FaultMatrix& t) {
       t.Peer()->SetModemLines(platform::kMsCtsOn | platform::kMsDsrOn | platform::kMsRlsdOn);
     }},
    {"GarbageStorm", [](FaultMatrix& t) { t.Peer()->Write(Garbage(256 * 1024)); },
     [](CCommPort& p) { return ReceiveFramed(p, 0, 100); }, kTimeout, 8000},
    {"BusyForever",
     [](FaultMatrix& t) {
       t.Device([](const Bytes& m, int) { return m == kPoll ? Frame("B0000") : Bytes{}; });
     },
     [](CCommPort& p) {
       std::string status, code, data;
       return p.ReceiveResponse("lvoReceiveResponse", 1, 200, 300, 0, &status, &code, &data);
     },
     kBusyTimeout, 8000},
    {"WrongBccForever",
     [](FaultMatrix& t) {
       t.Peer()->Write(Frame("DATA", 0x55));
       t.Device([](const Bytes& m, int) { return m == kNakByte ? Frame("DATA", 0x55) : Bytes{}; });
     },
     [](CCommPort& p) { return ReceiveFramed(p, 1, 200); }, kBccError, 8000},
    {"EndlessNonAckStream",
     [](FaultMatrix& t) {
       t.Reopen(921600);
       t.StartStream(B("xyz"));
     },
     [](CCommPort& p) { return p.SendDataAck("lvoSendData", 0, 100, 0, "HELLO", 5); }, kTimeout,
     30000},
    {"EndlessStream",
     [](FaultMatrix& t) {
       t.Reopen(921600);
       t.StartStream(Garbage(64));
     },
     [](CCommPort& p) { return ReceiveFramed(p, 0, 100); }, kTimeout, 30000},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace linvo::engine
