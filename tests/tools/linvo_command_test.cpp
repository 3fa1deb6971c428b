// The linvo command with a real print spooler (POSIX): lvoPrintJobClear's "N jobs" line, which
// the control prints on standard output, stays there in text mode and goes to standard error with
// --json, whose standard output is JSON lines alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/cups_server.h"
#include "support/test_env.h"

extern char** environ;

namespace linvo::cli {
namespace {

struct Ran {
  int status = -1;  // the exit status, -1 when it did not exit in time
  std::string out;
  std::string err;
};

// Runs the built linvo command in the current directory, its output and errors into files.
Ran RunLinvo(std::vector<std::string> args) {
  const char* binDir = std::getenv("LINVO_TEST_BINARY_DIR");
  args.insert(args.begin(), std::string(binDir ? binDir : ".") + "/tools/linvo");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "out.txt",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "err.txt",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  Ran ran;
  if (spawned != 0) {
    ran.err = "cannot run " + args[0];
    return ran;
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ran.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  ran.out = test::ReadFile("out.txt");
  ran.err = test::ReadFile("err.txt");
  return ran;
}

TEST(LinvoCommand, PrintJobClearLineKeepsOffTheJsonLines) {
  std::string error;
  const auto cups = test::CupsServer::Start({"Office"}, &error);
  if (!cups) GTEST_SKIP() << error;
  ASSERT_GT(cups->SubmitJob("Office", "", &error), 0) << error;
  ASSERT_GT(cups->SubmitJob("Office", "", &error), 0) << error;
  test::ScopedWorkDir dir;
  ASSERT_EQ(::setenv("CUPS_SERVER", cups->Address().c_str(), 1), 0);

  const Ran json = RunLinvo(
      {"run", "--json", "--set", "PrinterDeviceName=Office", "--call", "lvoPrintJobClear"});
  const Ran text =
      RunLinvo({"run", "--set", "PrinterDeviceName=Office", "--call", "lvoPrintJobClear"});
  ::unsetenv("CUPS_SERVER");

  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            "{\"step\":\"set\",\"name\":\"PrinterDeviceName\",\"value\":\"Office\"}\n"
            "{\"step\":\"call\",\"name\":\"lvoPrintJobClear\",\"args\":[],\"result\":0,"
            "\"ok\":true}\n");
  EXPECT_EQ(json.err, "2 jobs\n");
  // The jobs were cancelled: the second run finds none, and says so on standard output.
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out,
            "set PrinterDeviceName = \"Office\"\n0 jobs\ncall lvoPrintJobClear() = 0\n");
  EXPECT_EQ(text.err, "");
}

}  // namespace
}  // namespace linvo::cli
