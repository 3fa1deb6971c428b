#include "engine/comm_port.h"

#include <sys/wait.h>
#include <unistd.h>

#include "platform/serial.h"
#include "support/port_fixture.h"
#include "support/test_env.h"

namespace linvo::engine {
namespace {

using test::ScopedWorkDir;
using test::TraceSequence;
using test::WriteFile;

// A port object on a virtual line registered as COM<n>, tracing into the work directory.
class PortTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path())); }
  void TearDown() override { platform::UnregisterVirtualLine("COM3"); }

  std::string TracePath(int portNo) {
    char name[32];
    std::snprintf(name, sizeof name, "/trace%03d.log", portNo);
    return m_dir.Path() + name;
  }
  // The trace of the port after the version line written at construction.
  std::vector<std::string> Trace(int portNo) {
    std::vector<std::string> lines = TraceSequence(TracePath(portNo));
    if (!lines.empty() && lines.front().rfind("Info    |OCX Version", 0) == 0) {
      lines.erase(lines.begin());
    }
    return lines;
  }

  ScopedWorkDir m_dir;
};

TEST_F(PortTest, OpenAndCloseTraceTheirFrames) {
  auto peer = platform::RegisterVirtualLine("COM3");
  CCommPort port(3);
  ASSERT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 4096, 4096, 0), 0);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(peer->HostOpen());
  EXPECT_EQ(peer->HostLines() & (platform::kHostDtr | platform::kHostRts),
            platform::kHostDtr | platform::kHostRts);
  ASSERT_EQ(port.ClosePort("lvoClosePort"), 0);
  EXPECT_FALSE(peer->HostOpen());

  std::vector<std::string> expected = test::Bracket(
      "lvoOpenPort", {"Info    |PortName is COM3", "Info    |Return Value is 0"}, "Exit    ");
  std::vector<std::string> close =
      test::Bracket("lvoClosePort", {"Info    |Return Value is 0"}, "Exit    ");
  expected.insert(expected.end(), close.begin(), close.end());
  EXPECT_EQ(Trace(3), expected);
}

TEST_F(PortTest, RefusalsOfTheStateLeaveThePortAsItWas) {
  auto peer = platform::RegisterVirtualLine("COM3");
  CCommPort port(3);
  EXPECT_EQ(port.ClosePort("lvoClosePort"), 30);
  ASSERT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 0);
  EXPECT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 30);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(peer->HostOpen());
  std::vector<std::string> lines = Trace(3);
  std::vector<std::string> expected = test::Bracket(
      "lvoClosePort", {"ErrInfo |ErrorCode 30: Serial Port is already closed"}, "ErrExit ");
  std::vector<std::string> reopen = test::Bracket(
      "lvoOpenPort", {"ErrInfo |ErrorCode 30: Serial Port is already opened"}, "ErrExit ");
  ASSERT_EQ(lines.size(), expected.size() + 6 + reopen.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), expected);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()), reopen);
}

struct Rejection {
  int32_t baud;
  const char* dataBits;
  const char* parity;
  bool opensFirst;  // whether the device was opened (and closed again) before the refusal
};

class OpenRejections : public PortTest, public ::testing::WithParamInterface<Rejection> {};

TEST_P(OpenRejections, GiveParameterErrorAndReleaseTheLine) {
  const Rejection r = GetParam();
  auto peer = platform::RegisterVirtualLine("COM3");
  CCommPort port(3);
  EXPECT_EQ(port.OpenPort("lvoOpenPort", r.baud, r.dataBits, r.parity, 64, 64, 0), 100);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(peer->HostOpen()) << "the line must be released";
  std::vector<std::string> middle;
  if (r.opensFirst) middle.push_back("Info    |PortName is COM3");
  middle.push_back("ErrInfo |ErrorCode 100: Parameter Error");
  EXPECT_EQ(Trace(3), test::Bracket("lvoOpenPort", middle, "ErrExit "));
  // The object keeps no failed state: the next open tries again.
  EXPECT_EQ(port.OpenPort("lvoOpenPort", 9600, "7", "e", 64, 64, 1), 0);
  EXPECT_TRUE(peer->HostOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenRejections,
    ::testing::Values(Rejection{9600, "9", "N", true}, Rejection{9600, "5", "N", true},
                      Rejection{9600, "", "N", true}, Rejection{9600, "78", "N", true},
                      Rejection{9600, "8", "M", true}, Rejection{9600, "8", "", true},
                      Rejection{0, "8", "N", true}, Rejection{-9600, "8", "N", true},
                      Rejection{9600, nullptr, "N", false}, Rejection{9600, "8", nullptr, false}));

TEST_F(PortTest, AcceptedParityAndDataBitsTexts) {
  auto peer = platform::RegisterVirtualLine("COM3");
  CCommPort port(3);
  for (const char* parity : {"n", "N", "None", "E", "even", "O", "o"}) {
    for (const char* bits : {"7", "8"}) {
      ASSERT_EQ(port.OpenPort("lvoOpenPort", 115200, bits, parity, 64, 64, 0), 0) << bits << parity;
      ASSERT_EQ(port.ClosePort("lvoClosePort"), 0);
    }
  }
}

TEST_F(PortTest, UnresolvableOrBusyPortCannotBeOpened) {
  // Nothing is registered as COM3 and the [Ports] section sends it to a missing device.
  WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path()) + "[Ports]\nCOM3=/dev/nonexistent-tty\n");
  {
    CCommPort port(3);
    EXPECT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 101);
    EXPECT_EQ(Trace(3),
              test::Bracket("lvoOpenPort",
                            {"ErrInfo |No such file or directory: /dev/nonexistent-tty (system "
                             "error 2)",
                             "ErrInfo |ErrorCode 101: Serial Port cannot be opened"},
                            "ErrExit "));
  }
  // A pseudo-terminal that another descriptor holds.
  platform::PseudoTerminal pty;
  WriteFile("Linvo.ini",
            test::LoggingIni(m_dir.Path()) + "[Ports]\nCOM5=" + pty.SlavePath() + "\n");
  auto holder = platform::OpenSerialLine("COM5", "Linvo.ini").line;
  ASSERT_NE(holder, nullptr);
  CCommPort port(5);
  EXPECT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 101);
  holder.reset();
  EXPECT_EQ(port.OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 0);
  // ... and another process cannot have it while this one does.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto line = platform::OpenSerialLine("COM5", "Linvo.ini").line;
    ::_exit(line == nullptr ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(port.ClosePort("lvoClosePort"), 0);
}

TEST_F(PortTest, PseudoTerminalRoundTrip) {
  platform::PseudoTerminal pty;
  WriteFile("Linvo.ini",
            test::LoggingIni(m_dir.Path()) + "[Ports]\nCOM12=" + pty.SlavePath() + "\n");
  CCommPort port(12);
  ASSERT_EQ(port.OpenPort("lvoOpenPort", 38400, "8", "E", 1024, 1024, 0), 0);
  EXPECT_EQ(Trace(12)[2], "Info    |PortName is \\\\.\\COM12");
  EXPECT_EQ(port.ClosePort("lvoClosePort"), 0);
  EXPECT_EQ(port.OpenPort("lvoOpenPort", 38400, "8", "E", 1024, 1024, 0), 0);
  EXPECT_EQ(port.ClosePort("lvoClosePort"), 0);
}

}  // namespace
}  // namespace linvo::engine
