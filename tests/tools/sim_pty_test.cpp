// The simulator on a pseudo-terminal (POSIX): in-process, and as the linvo-sim program serving a
// new pseudo-terminal or a tty named with --port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "sim/scenarios.h"
#include "sim_test_support.h"
#include "support/test_env.h"

extern char** environ;

namespace linvo::sim {
namespace {

// The host end: the pseudo-terminal's slave, opened as COM9 through a settings file that maps it.
std::unique_ptr<platform::SerialLine> OpenHost(const test::ScopedWorkDir& dir,
                                               const std::string& slavePath) {
  const std::string ini = dir.Path() + "/Linvo.ini";
  test::WriteFile(ini, "[Ports]\nCOM9=" + slavePath + "\n");
  return platform::OpenSerialLine("COM9", ini).line;
}

// linvo-sim as a child process with pipes on its standard input, output and error.
class SimProcess {
 public:
  ~SimProcess() {
    CloseInput();
    if (m_pid > 0) Wait();
    for (int fd : {m_out, m_err}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // The built program, or "" when this build has none.
  static std::string Program() {
    const char* binDir = std::getenv("LINVO_TEST_BINARY_DIR");
    const std::string program = std::string(binDir ? binDir : "") + "/tools/linvo-sim";
    return binDir != nullptr && ::access(program.c_str(), X_OK) == 0 ? program : "";
  }

  void Start(std::vector<std::string> args) {
    int in[2];
    int out[2];
    int err[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    args.insert(args.begin(), Program());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
    ASSERT_EQ(spawned, 0);
  }

  // One line of standard output, without its line end ("" at the end of the output).
  std::string ReadLine() {
    std::string line;
    char c;
    while (::read(m_out, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  void Send(const std::string& text) {
    ASSERT_EQ(::write(m_in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    if (m_in >= 0) ::close(m_in);
    m_in = -1;
  }
  // The exit status once the program ends (-1: it did not exit normally).
  int Wait() {
    int status = 0;
    const pid_t pid = std::exchange(m_pid, 0);
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
  static std::string ReadAll(int fd) {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }
  std::string RestOfOutput() { return ReadAll(m_out); }
  std::string Errors() { return ReadAll(m_err); }

 private:
  pid_t m_pid = 0;
  int m_in = -1;
  int m_out = -1;
  int m_err = -1;
};

TEST(SimStop, StopReturnsPromptlyWhileIdleAndWhileAWriteIsBlocked) {
  platform::PseudoTerminal pty;
  DeviceSimulator sim(MakePtyEndpoint(pty.MasterFd()));
  ASSERT_TRUE(sim.Start());
  auto start = std::chrono::steady_clock::now();
  sim.Stop();
  // Generous: only a loop that waits out a poll time-out instead of waking would miss it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // Nobody reads the pseudo-terminal: the write fills its buffer and blocks until Stop().
  ASSERT_TRUE(sim.Start());
  bool sent = true;
  std::thread writer([&] { sent = sim.SendRaw(std::string(1 << 20, 'x')); });
  // Give the writer time to block; should Stop() come first, the write fails all the same.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim.Stop();
  writer.join();
  EXPECT_FALSE(sent);
}

TEST(SimOnPseudoTerminal, CommandAndPollExchange) {
  test::ScopedWorkDir dir;
  platform::PseudoTerminal pty;
  Config config;
  config.busyPolls = 1;
  config.data = "DATA";
  DeviceSimulator sim(MakePtyEndpoint(pty.MasterFd()), config);
  ASSERT_TRUE(sim.Start());
  auto host = OpenHost(dir, pty.SlavePath());
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->DevicePath(), pty.SlavePath());

  WriteToDevice(*host, kCommandS1);
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 1, kArrive)), "06");
  WriteToDevice(*host, kPoll);
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 12, kArrive)), "02 42 30 30 30 30 44 41 54 41 03 51");
  WriteToDevice(*host, kPoll);
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 12, kArrive)), "02 41 30 30 30 30 44 41 54 41 03 52");
  sim.Stop();
  EXPECT_EQ(sim.Received(), kCommandS1 + kPoll + kPoll);
}

TEST(SimBinaryOnPseudoTerminal, CommandReportAckAndReportOnDemand) {
  test::ScopedWorkDir dir;
  platform::PseudoTerminal pty;
  Config config;
  config.binaryReport = Bytes("41 16");
  DeviceSimulator sim(MakePtyEndpoint(pty.MasterFd()), config);
  ASSERT_TRUE(sim.Start());
  auto host = OpenHost(dir, pty.SlavePath());
  ASSERT_NE(host, nullptr);

  // Split between the two bytes of the doubled 0x16: the parser keeps its place across reads.
  WriteToDevice(*host, kBinaryCommand.substr(0, 4));
  ASSERT_TRUE(sim.WaitForReceived(4, kArrive));
  WriteToDevice(*host, kBinaryCommand.substr(4));
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 2 + 8, kArrive)), "16 06 16 02 41 16 16 16 03 54");
  WriteToDevice(*host, kSynAck);
  EXPECT_TRUE(sim.WaitForCounters([](const Counters& c) { return c.reportsAcked == 1; }, kArrive));

  bool quit = false;
  std::string error;
  ASSERT_TRUE(RunControlLine(sim, "report 42", &quit, &error)) << error;
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 6, kArrive)), "16 02 42 16 03 41");
  EXPECT_FALSE(RunControlLine(sim, "report 4", &quit, &error));

  // A pseudo-terminal has no modem lines.
  EXPECT_FALSE(sim.SetModemLines(platform::kMsDsrOn));
  EXPECT_FALSE(sim.SetModemLine(platform::kMsDsrOn, false));
  EXPECT_FALSE(sim.InjectLineErrors(platform::kCeFrame));
  EXPECT_EQ(sim.ModemLines(), std::nullopt);
  EXPECT_EQ(sim.HostLines(), std::nullopt);
}

// The program: prints its one line, serves, and ends with exit status 0 when standard input
// closes.
TEST(SimProgram, ServesUntilStdinCloses) {
  if (SimProcess::Program().empty()) GTEST_SKIP() << "linvo-sim not built";
  test::ScopedWorkDir dir;
  const std::string log = dir.Path() + "/sim.log";
  SimProcess sim;
  ASSERT_NO_FATAL_FAILURE(sim.Start({"--scenario", "nak", "--stdin-control", "--log", log}));
  const std::string out = sim.ReadLine();
  const std::string prefix = "linvo-sim: serving ";
  ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
  auto host = OpenHost(dir, out.substr(prefix.size()));
  ASSERT_NE(host, nullptr);
  WriteToDevice(*host, kCommandS1);
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 1, kArrive)), "15");
  // A control line reaches the device: "frame AB" sends STX A B ETX BCC.
  sim.Send("frame AB\n");
  EXPECT_EQ(HexBytes(ReadFromDevice(*host, 5, kArrive)), "02 41 42 03 00");

  sim.CloseInput();
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_EQ(sim.RestOfOutput(), "");  // exactly one line on standard output
  const std::string logText = test::ReadFile(log);
  EXPECT_NE(logText.find(" << 04 02 53 31 03 61\n"), std::string::npos) << logText;
  EXPECT_NE(logText.find(" >> 15\n"), std::string::npos) << logText;
}

// --port serves a tty through the serial line API: here the slave of a pseudo-terminal whose
// master plays the host.
TEST(SimProgram, ServesTheLineNamedWithPort) {
  if (SimProcess::Program().empty()) GTEST_SKIP() << "linvo-sim not built";
  platform::PseudoTerminal pty;
  auto host = MakePtyEndpoint(pty.MasterFd());
  SimProcess sim;
  ASSERT_NO_FATAL_FAILURE(sim.Start(
      {"--port", pty.SlavePath(), "--baud", "19200", "--parity", "N", "--stdin-control"}));
  EXPECT_EQ(sim.ReadLine(), "linvo-sim: serving " + pty.SlavePath());
  ASSERT_TRUE(host->Write(kCommandS1));
  char buffer[16];
  const std::size_t acked = host->Read(buffer, sizeof buffer, kArrive);
  EXPECT_EQ(HexBytes(std::string(buffer, acked)), "06");
  sim.Send("frame AB\n");
  std::string framed;
  while (framed.size() < 5) {
    const std::size_t n = host->Read(buffer, sizeof buffer, kArrive);
    if (n == 0) break;
    framed.append(buffer, n);
  }
  EXPECT_EQ(HexBytes(framed), "02 41 42 03 00");
  sim.CloseInput();
  EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, ALineThatCannotBeOpenedEndsWithTheReason) {
  if (SimProcess::Program().empty()) GTEST_SKIP() << "linvo-sim not built";
  test::ScopedWorkDir dir;
  const std::string missing = dir.Path() + "/no-such-tty";
  SimProcess sim;
  ASSERT_NO_FATAL_FAILURE(sim.Start({"--port", missing}));
  EXPECT_EQ(sim.Wait(), 1);
  EXPECT_EQ(sim.RestOfOutput(), "");
  EXPECT_EQ(sim.Errors(), "linvo-sim: No such file or directory: " + missing + "\n");
}

}  // namespace
}  // namespace linvo::sim
