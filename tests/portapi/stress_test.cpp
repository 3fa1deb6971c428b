// Concurrency stress for the sanitizer builds: several threads call operations on one port and on
// several, start and cancel background receives, close and reopen ports while workers run, and
// the thread that created the port objects pumps their messages meanwhile. Every thread must end
// within a deadline, every code must be one an operation can give for valid arguments, and each
// port must still serve a good exchange afterwards.
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/message.h"
#include "platform/serial.h"
#include "portapi/port_table.h"
#include "support/control_window.h"
#include "support/test_env.h"
#include "support/virtual_device.h"

namespace linvo::portapi {
namespace {

using test::B;
using test::Bytes;
using test::Frame;
using test::VirtualDevice;

constexpr int kFirstPort = 11;
constexpr int kLinePorts = 3;                       // COM11..COM13: devices that answer
constexpr int kDeadPort = kFirstPort + kLinePorts;  // COM14: a disconnected line
constexpr int kThreads = 4;
constexpr auto kRunTime = std::chrono::milliseconds(2500);
constexpr auto kJoinDeadline = std::chrono::seconds(60);

// Every code an operation may give for valid arguments while other threads use the port.
const std::set<int> kSaneCodes = {0,   1,   2,   3,   10,  11,  12,  20,  30, 101,
                                  110, 111, 112, 113, 120, 130, 140, 200, 201};

std::string Com(int portNo) { return "COM" + std::to_string(portNo); }

// Answers polls with a final response, frames with ACK, and nothing else.
Bytes Answer(const Bytes& m, int) {
  if (m == B({0x04, 0x05})) return Frame("A0000ok");
  if (m.size() > 2 && (m[0] == 0x02 || m[0] == 0x04)) return B({0x06});
  return {};
}

// One worker's loop: random operations on random ports (the disconnected one included when
// `ports` counts it) until the run time is over. Returns the first insane code it saw (0 when
// none), with the operation's name.
std::pair<int, const char*> Hammer(unsigned seed, int ports,
                                   std::chrono::steady_clock::time_point end) {
  std::mt19937 rng(seed);
  while (std::chrono::steady_clock::now() < end) {
    const int portNo = kFirstPort + static_cast<int>(rng() % static_cast<unsigned>(ports));
    const bool live = portNo != kDeadPort;
    std::string a, b, c;
    int16_t length = 0;
    int code = 0;
    const char* name = "";
    switch (rng() % 9) {
      case 0:
        name = "OpenPort";
        if (live) code = OpenPort("lvoOpenPort", portNo, 9600, "8", "N", 4096, 4096, 0);
        break;
      case 1:
        name = "ClosePort";
        if (live) code = ClosePort("lvoClosePort", portNo);
        break;
      case 2:
        name = "SendCommandRR";
        code = SendCommandRR("lvoSendCommandRR", portNo, 1, 30, 60, 0, "S1", "", 0, &a, &b, &c);
        break;
      case 3:
        name = "ReceiveResponseAsync";
        code = ReceiveResponseAsync("lvoReceiveResponse", portNo, 30, 60, 0);
        break;
      case 4:
        name = "ReceiveDataAsync";
        code = ReceiveDataAsync("lvoReceiveData", portNo, 0, 30, 0, 0xFFFF);
        break;
      case 5:
        name = "SetCancelFlag";
        code = SetCancelFlag("lvoCancel", portNo, 1);
        break;
      case 6:
        name = "ReceiveDataFramed";
        code = ReceiveDataFramed("lvoReceiveData", portNo, 0, 20, 0, &a, &length);
        break;
      case 7:
        name = "SendDataAck";
        code = SendDataAck("lvoSendData", portNo, 0, 20, 0, "DATA", 4);
        break;
      default: {
        name = "GetModemStatus";
        uint32_t status = 0;
        code = GetModemStatus("lvoGetModemStatus", portNo, &status);
        break;
      }
    }
    if (!kSaneCodes.contains(code)) return {code, name};
  }
  return {0, ""};
}

// The disconnected line makes every receive fail at once, so workers start and end as fast as
// the threads can start them.
class Stress : public ::testing::TestWithParam<bool> {};

TEST_P(Stress, ThreadsShareAndCyclePortsWhileTheCreatorPumps) {
  const bool withDeadLine = GetParam();
  const int ports = kLinePorts + (withDeadLine ? 1 : 0);
  test::ScopedWorkDir dir;
  test::WriteFile("Linvo.ini", test::LoggingIni(dir.Path()));
  std::vector<std::shared_ptr<platform::VirtualPeer>> peers;
  std::vector<std::unique_ptr<VirtualDevice>> devices;
  std::vector<std::unique_ptr<test::ControlWindow>> windows;
  // This thread creates the port objects (their windows are its own) and the control windows.
  for (int portNo = kFirstPort; portNo <= kDeadPort; ++portNo) {
    peers.push_back(platform::RegisterVirtualLine(Com(portNo)));
    windows.push_back(std::make_unique<test::ControlWindow>(portNo));
    ASSERT_EQ(OpenPort("lvoOpenPort", portNo, 9600, "8", "N", 4096, 4096, 0), 0);
    if (portNo == kDeadPort) {
      peers.back()->Disconnect();
    } else {
      devices.push_back(std::make_unique<VirtualDevice>(peers.back(), Answer));
    }
  }

  const auto end = std::chrono::steady_clock::now() + kRunTime;
  std::atomic<int> running{kThreads};
  std::vector<std::pair<int, const char*>> insane(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      insane[static_cast<std::size_t>(i)] = Hammer(static_cast<unsigned>(i + 1), ports, end);
      --running;
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + kJoinDeadline;
  while (running > 0 && std::chrono::steady_clock::now() < deadline) platform::PumpMessages(5);
  // A thread that hangs makes the test fail here; the process then ends when it is destroyed.
  ASSERT_EQ(running.load(), 0) << "threads still running after the deadline";
  for (auto& t : threads) t.join();
  for (const auto& [code, name] : insane) EXPECT_EQ(code, 0) << name;

  std::size_t notifications = 0;
  for (const auto& w : windows) notifications += w->received.size();
  EXPECT_GT(notifications, 0u) << "no background receive completed";

  // Every live port still serves a good exchange once the others are quiet.
  for (int portNo = kFirstPort; portNo < kDeadPort; ++portNo) {
    SCOPED_TRACE(portNo);
    SetCancelFlag("lvoCancel", portNo, 1);
    ClosePort("lvoClosePort", portNo);
    ASSERT_EQ(OpenPort("lvoOpenPort", portNo, 9600, "8", "N", 4096, 4096, 0), 0);
    std::string status, code, data;
    EXPECT_EQ(SendCommandRR("lvoSendCommandRR", portNo, 1, 500, 1000, 0, "S1", "", 0, &status,
                            &code, &data),
              10);
    EXPECT_EQ(data, "ok");
    EXPECT_EQ(ClosePort("lvoClosePort", portNo), 0);
  }
  ClosePort("lvoClosePort", kDeadPort);  // opened in both runs
  for (const auto& w : windows) w->PumpFor(1);
  devices.clear();
  windows.clear();
  for (int portNo = kFirstPort; portNo <= kDeadPort; ++portNo) {
    platform::UnregisterVirtualLine(Com(portNo));
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, Stress, ::testing::Values(false, true), [](const auto& info) {
  return std::string(info.param ? "WithDisconnectedLine" : "LiveLines");
});

}  // namespace
}  // namespace linvo::portapi
