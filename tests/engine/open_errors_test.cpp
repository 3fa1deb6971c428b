// A port that cannot be opened says why: the result stays 101 with its message, and the
// system's reason follows in the trace and in the port's error text. So does a line that fails
// once open (its device end gone mid-receive).
#include <fcntl.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "engine/comm_port.h"
#include "platform/error_text.h"
#include "platform/serial.h"
#include "portapi/port_table.h"
#include "support/port_fixture.h"
#include "support/test_env.h"

namespace linvo::engine {
namespace {

// Runs fn on a thread whose file opens obey the permission bits even when the tests run as
// root: the thread drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from its effective set
// (capabilities belong to each thread on Linux, so the rest of the process keeps them).
void RunWithoutFileOverride(const std::function<void()>& fn) {
  std::thread([&fn] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    fn();
  }).join();
}

struct OpenFailure {
  const char* name;
  int code;  // the errno the reason must carry
};

class OpenErrorTest : public ::testing::TestWithParam<OpenFailure> {
 protected:
  static constexpr int kPortNo = 5;

  std::string Device() const {
    switch (GetParam().code) {
      case ENOENT:
        return m_dir.Path() + "/ttyMissing";
      case ENOTTY:
        return "/dev/null";
      default:
        return m_pty.SlavePath();
    }
  }

  test::ScopedWorkDir m_dir;
  platform::PseudoTerminal m_pty;
};

TEST_P(OpenErrorTest, ReasonFollowsTheResultInTraceAndErrorText) {
  const int code = GetParam().code;
  const std::string device = Device();
  test::WriteFile("Linvo.ini",
                  test::LoggingIni(m_dir.Path(), 2) + "[Ports]\nCOM5=" + device + "\n");
  std::unique_ptr<platform::SerialLine> holder;
  if (code == EBUSY) {
    holder = platform::OpenSerialLine("COM5", "Linvo.ini").line;
    ASSERT_NE(holder, nullptr);
  }
  if (code == EACCES) {
    ASSERT_EQ(chmod(device.c_str(), 0), 0);
  }

  CCommPort port(kPortNo);
  Result result = -1;
  auto open = [&] { result = port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0); };
  code == EACCES ? RunWithoutFileOverride(open) : open();

  const std::string reason = platform::ErrorText(code) + ": " + device;
  EXPECT_EQ(result, 101);
  EXPECT_EQ(port.LastErrorText(), reason);
  // Logging mode 2 keeps only errors: the reason is one of them.
  EXPECT_EQ(test::TraceSequence(m_dir.Path() + "/trace005.log"),
            (std::vector<std::string>{
                "ErrInfo |" + reason + " (system error " + std::to_string(code) + ")",
                "ErrInfo |ErrorCode 101: Serial Port cannot be opened"}));

  // The reason goes once the port opens.
  holder.reset();
  if (code == EACCES) {
    ASSERT_EQ(chmod(device.c_str(), 0600), 0);
    EXPECT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 0);
    EXPECT_EQ(port.LastErrorText(), "");
    EXPECT_EQ(port.ClosePort("lvoClosePort"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Reasons, OpenErrorTest,
                         ::testing::Values(OpenFailure{"Missing", ENOENT},
                                           OpenFailure{"NoPermission", EACCES},
                                           OpenFailure{"HeldElsewhere", EBUSY},
                                           OpenFailure{"NotATty", ENOTTY}),
                         [](const auto& info) { return std::string(info.param.name); });

// A line whose driver has no low-latency mode opens as usual and says so once; the setting that
// turns the request off also silences the line.
TEST(OpenTrace, LowLatencyLineFollowsThePortName) {
  for (const bool switchedOff : {false, true}) {
    test::ScopedWorkDir dir;
    platform::PseudoTerminal pty;
    test::WriteFile("Linvo.ini", test::LoggingIni(dir.Path()) + "[Ports]\nCOM6=" + pty.SlavePath() +
                                     (switchedOff ? "\nLowLatency=0\n" : "\n"));
    CCommPort port(6);
    ASSERT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 0);
    std::vector<std::string> middle = {"Info    |PortName is COM6"};
    if (!switchedOff) {
      middle.push_back(
          "Info    |Low latency mode is not available: Inappropriate ioctl for device");
    }
    middle.push_back("Info    |Return Value is 0");
    std::vector<std::string> trace = test::TraceSequence(dir.Path() + "/trace006.log");
    ASSERT_FALSE(trace.empty());
    trace.erase(trace.begin());  // the version line
    EXPECT_EQ(trace, test::Bracket("lvoOpenPort", middle, "Exit    ")) << switchedOff;
    EXPECT_EQ(port.ClosePort("lvoClosePort"), 0);
  }
}

TEST(LastErrorText, ReachesTheHostThroughThePortApi) {
  test::ScopedWorkDir dir;
  test::WriteFile("Linvo.ini", "[Ports]\nCOM201=" + dir.Path() + "/gone\n");
  std::string text = "old";
  EXPECT_EQ(portapi::GetLastErrorText(202, &text), kSuccess);
  EXPECT_EQ(text, "") << "no port object, no open tried";
  EXPECT_EQ(portapi::OpenPort("lvoOpenPort", 201, 9600, "8", "N", 64, 64, 0), 101);
  EXPECT_EQ(portapi::GetLastErrorText(201, &text), kSuccess);
  EXPECT_EQ(text, "No such file or directory: " + dir.Path() + "/gone");
  EXPECT_EQ(portapi::GetLastErrorText(0, &text), kParameterError);
  EXPECT_EQ(portapi::GetLastErrorText(201, nullptr), kParameterError);
}

// The device end of a pseudo-terminal closes while a receive waits on it, as an unplugged USB
// adapter's line goes: the receive ends as a failed receive does, then the hung-up line's reason
// (EIO) follows, and the host reads it through the port API.
TEST(LineErrorText, DeviceEndClosedMidReceive) {
  test::ScopedWorkDir dir;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  char path[128];
  ASSERT_EQ(ptsname_r(master, path, sizeof path), 0);
  test::WriteFile("Linvo.ini", test::LoggingIni(dir.Path()) + "[Ports]\nCOM204=" + path + "\n");
  ASSERT_EQ(portapi::OpenPort("lvoOpenPort", 204, 9600, "8", "N", 64, 64, 0), kSuccess);
  const std::string trace = dir.Path() + "/trace204.log";

  auto receive = std::async(std::launch::async, [&] {
    uint8_t buffer[16];
    int16_t length = -1;
    const Result r =
        portapi::ReceiveBinaryData("lvoReceiveBinaryData", 204, 5000, 0, buffer, 16, &length);
    return std::pair{r, test::TraceSequence(trace, test::CurrentThreadId())};
  });
  // Once the receive has begun it waits for the first byte; an earlier close would end it the
  // same way.
  const auto began = std::chrono::steady_clock::now();
  while (test::ReadFile(trace).find("Start ReadCommForUnformattedBinary") == std::string::npos &&
         std::chrono::steady_clock::now() - began < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close(master);
  auto [result, lines] = receive.get();

  EXPECT_EQ(result, 201);
  const std::string reason = platform::ErrorText(EIO);
  EXPECT_EQ(lines, test::Bracket("lvoReceiveBinaryData",
                                 {"Info    |Start ReadCommForUnformattedBinary Method",
                                  "Info    |[Error]Dump Receive Data",
                                  "ErrInfo |ErrorCode 201: WIN32 API Error (Receive)",
                                  "ErrInfo |" + reason + " (system error 5)"},
                                 "ErrExit "));
  std::string text;
  EXPECT_EQ(portapi::GetLastErrorText(204, &text), kSuccess);
  EXPECT_EQ(text, reason);
  EXPECT_EQ(portapi::ClosePort("lvoClosePort", 204), kSuccess);
}

}  // namespace
}  // namespace linvo::engine
