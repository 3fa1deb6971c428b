// linvo-demo, run as a program: its own simulator, another device given with --device, and the
// command-line errors.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "support/test_env.h"

extern char** environ;

namespace linvo::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct RunResult {
  int exitCode = -1;   // -1: killed or did not end in time
  std::string output;  // standard output and standard error together
};

// Runs linvo-demo with the arguments (environment inherited: TMPDIR is the test's directory)
// and collects its output. A run that has not ended after kLimitMs is killed.
RunResult RunDemo(const std::vector<std::string>& arguments) {
  constexpr int kLimitMs = 20000;
  RunResult result;
  const char* dir = std::getenv("LINVO_TEST_BINARY_DIR");
  if (dir == nullptr) {
    ADD_FAILURE() << "LINVO_TEST_BINARY_DIR is not set";
    return result;
  }
  const std::string program = std::string(dir) + "/tools/linvo-demo";
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ADD_FAILURE() << "cannot run " << program;
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      ::kill(pid, SIGKILL);
      ADD_FAILURE() << "linvo-demo did not end within " << kLimitMs << " ms";
      break;
    }
    char buffer[4096];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

// The work directories linvo-demo left in `dir`.
std::vector<std::string> DemoDirectories(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("linvo-demo-", 0) == 0) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

TEST(DemoProgram, RunsBothExchangesAgainstItsSimulatorAndPrintsTheTrace) {
  test::ScopedWorkDir dir;
  const RunResult run = RunDemo({});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  const std::string& out = run.output;
  EXPECT_THAT(out, HasSubstr("Port                   COM7\n"));
  EXPECT_THAT(out, HasSubstr("Control                PortNo=7 BaudRate=9600 DataBit=8 Parity=N "
                             "Version=1, 0, 0, 0\n"));
  EXPECT_THAT(out, HasSubstr("lvoOpenPort            result 0 (success)\n"));
  const std::string response =
      "  PollCmdComSts        \"00\"\n"
      "  PollCmdErr           \"00\"\n"
      "  PollCmdSen           \"\"\n"
      "  PollCmdResData       \"READY\"\n";
  EXPECT_THAT(out, HasSubstr("lvoSendCommandRR S1    result 10 (response A)\n" + response));
  EXPECT_THAT(out, HasSubstr("lvoSendDataBCCRR       result 0 (success)\n"
                             "  SendData             \"HELLO\"\n"
                             "  ReceiveData          \"OK\" (2 bytes)\n"));
  // The background command: started, then its response as an event.
  EXPECT_THAT(out, HasSubstr("lvoSendCommandRR(2)    result 1 (background operation started)\n"
                             "lvoReceiveResponseEvent result 10 (response A)\n" +
                             response));
  EXPECT_THAT(out, HasSubstr("lvoClosePort           result 0 (success)\n"));
  // The trace the engine wrote: the command's bracket and its bytes on the wire.
  EXPECT_THAT(out, HasSubstr("/Linvo007.log:\n"));
  EXPECT_THAT(out, HasSubstr(":Inf:Enter   : lvoSendCommandRR\n"));
  EXPECT_THAT(out, HasSubstr(":Inf:Info    : Return Value is 10\n"));
  EXPECT_THAT(out, HasSubstr("0000 : 04 02 53 31 03 61 "));
  EXPECT_THAT(out, HasSubstr(":Inf:Exit    : lvoClosePort\n"));
  EXPECT_THAT(out, HasSubstr("Demo succeeded.\n"));
  EXPECT_THAT(DemoDirectories(dir.Path()), ::testing::IsEmpty());
}

// Another device: a simulator of this test that NAKs every frame. Both exchanges fail at once.
TEST(DemoProgram, RunsAgainstAGivenDeviceAndKeepsItsWorkDirectory) {
  test::ScopedWorkDir dir;
  platform::PseudoTerminal pty;
  Config config;
  config.ackMode = AckMode::kAlwaysNak;
  DeviceSimulator device(MakePtyEndpoint(pty.MasterFd()), config);
  ASSERT_TRUE(device.Start());

  const RunResult run = RunDemo({"--device", pty.SlavePath(), "--port", "12", "--command", "T2",
                                 "--data=AB", "--timeout", "200", "--keep"});
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_THAT(run.output, HasSubstr("(given with --device)"));
  EXPECT_THAT(run.output, HasSubstr("lvoSendCommandRR T2    result 3 (NAK)\n"));
  EXPECT_THAT(run.output, Not(HasSubstr("  PollCmd")));
  EXPECT_THAT(run.output, HasSubstr("lvoSendDataBCCRR       result 3 (NAK)\n"));
  EXPECT_THAT(run.output, HasSubstr("lvoSendCommandRR(2)    result 3 (NAK)\n"));
  EXPECT_THAT(run.output, HasSubstr("Demo failed"));
  device.Stop();
  // The command went out once per method; the data frame three times (retry count 2).
  EXPECT_EQ(device.GetCounters().commands, 2);
  EXPECT_EQ(device.GetCounters().dataFrames, 3);

  const std::vector<std::string> kept = DemoDirectories(dir.Path());
  ASSERT_EQ(kept.size(), 1u) << run.output;
  EXPECT_EQ(
      test::ReadFile(kept[0] + "/Linvo.ini"),
      "[Log]\nLogging=1\nLogFileName=.\\Linvo%03d.log\n[Ports]\nCOM12=" + pty.SlavePath() + "\n");
  EXPECT_THAT(test::ReadFile(kept[0] + "/Linvo012.log"), HasSubstr(":Err:ErrInfo : ErrorCode 3: "));
}

struct ArgumentCase {
  const char* name;
  std::vector<std::string> args;
  int exitCode;
  const char* shows;
};

TEST(DemoProgram, AnswersHelpMissingDevicesAndBadOptions) {
  const std::vector<ArgumentCase> cases = {
      {"help", {"--help"}, 0, "Usage: linvo-demo [options]"},
      {"missing device",
       {"--device", "/nonexistent/tty"},
       1,
       "lvoOpenPort            result 101 (port not open or cannot be opened)\n"},
      {"port 0", {"--port", "0"}, 2, "linvo-demo: bad value for --port: \"0\""},
      {"port 257", {"--port=257"}, 2, "bad value for --port"},
      {"three-letter command", {"--command", "ABC"}, 2, "bad value for --command"},
      {"value missing", {"--device"}, 2, "--device needs a value"},
      {"unknown option", {"--verbose"}, 2, "unknown option --verbose"},
  };
  test::ScopedWorkDir dir;
  for (const ArgumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = RunDemo(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_THAT(run.output, HasSubstr(c.shows));
  }
  EXPECT_THAT(DemoDirectories(dir.Path()), ::testing::IsEmpty());
}

}  // namespace
}  // namespace linvo::sim
