#include "engine/trace_log.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "platform/paths.h"
#include "support/test_env.h"

namespace linvo::engine {
namespace {

using test::ReadFile;
using test::ScopedWorkDir;
using test::TraceSequence;

TEST(TraceDump, SixteenBytesMakeTwoRows) {
  uint8_t data[16];
  for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>('a' + i);
  EXPECT_EQ(CTraceLog::FormatDump(data, 16),
            "    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n"
            "    -------------------------------------------------------\n"
            "    0000 : 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70   abcdefghijklmnop\n"
            "    0010 :                                                   \n"
            "\n");
}

TEST(TraceDump, TextColumnStopsAtLineEnd) {
  const uint8_t data[] = {0x41, 0x42, 0x0D, 0x0A, 0x43};
  EXPECT_EQ(CTraceLog::FormatDump(data, 5),
            "    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n"
            "    -------------------------------------------------------\n"
            "    0000 : 41 42 0D 0A 43" +
                std::string(36, ' ') +
                "AB\n"
                "\n");
}

TEST(TraceDump, EdgeLengths) {
  const std::string frame =
      "    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n"
      "    -------------------------------------------------------\n";
  const std::string blankRow = "    0000 :" + std::string(48, ' ') + "   \n";
  EXPECT_EQ(CTraceLog::FormatDump(nullptr, -3), frame + "\n");
  EXPECT_EQ(CTraceLog::FormatDump(nullptr, 0), frame + blankRow + "\n");
  const uint8_t withNul[] = {'x', 0, 'y'};
  EXPECT_EQ(CTraceLog::FormatDump(withNul, 3),
            frame + "    0000 : 78 00 79" + std::string(13 * 3, ' ') + "   x\n\n");
}

TEST(TraceLog, LineFormat) {
  ScopedWorkDir dir;
  {
    CTraceLog log("t.log", 1, 5);
    log.WriteTrace(kLevelInfo, "lvoOpenPort", kEnter);
    log.WriteTrace(kLevelError, "ErrorCode 30: x", kErrInfo);
    log.WriteLine(0, "level zero is never written in a file mode");
  }
  std::istringstream in(ReadFile("t.log"));
  std::string l1, l2, l3, l4;
  std::getline(in, l1);
  std::getline(in, l2);
  std::getline(in, l3);
  EXPECT_FALSE(std::getline(in, l4));
  char pid[16];
  std::snprintf(pid, sizeof pid, "%5d", static_cast<int>(::getpid()));
  std::regex format(R"(^\d{4}:\d\d:\d\d:\d\d:\d\d:\d\d:[ \d]{2}\d:( *\d{1,}):( *\d{1,}):(.*)$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(l1, m, format)) << l1;
  EXPECT_EQ(m[1].str(), pid);
  EXPECT_GE(m[2].str().size(), 5u);
  EXPECT_EQ(m[3].str(), "Inf:Enter   : lvoOpenPort");
  ASSERT_TRUE(std::regex_match(l2, m, format)) << l2;
  EXPECT_EQ(m[3].str(), "Err:ErrInfo : ErrorCode 30: x");
  EXPECT_EQ(l3, "") << "the destructor closes the trace with one empty line";
}

struct ModeCase {
  int mode;
  bool infoWritten;
  bool errorWritten;
};

class TraceLogModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(TraceLogModes, LevelsByMode) {
  const ModeCase c = GetParam();
  ScopedWorkDir dir;
  const uint8_t bytes[] = {1, 2};
  ::testing::internal::CaptureStderr();
  {
    CTraceLog log("m.log", c.mode, 2);
    log.WriteTrace(kLevelInfo, "op", kEnter);
    log.WriteDump(kLevelInfo, bytes, 2);
    log.WriteTrace(kLevelError, "ErrorCode 101: e", kErrInfo);
  }
  std::string err = ::testing::internal::GetCapturedStderr();
  std::string file = ReadFile("m.log");
  const std::string& out = c.mode >= 3 ? err : file;
  EXPECT_EQ(out.find("Enter   : op") != std::string::npos, c.infoWritten);
  EXPECT_EQ(out.find("0000 : 01 02") != std::string::npos, c.infoWritten);
  EXPECT_EQ(out.find("ErrInfo : ErrorCode 101: e") != std::string::npos, c.errorWritten);
  EXPECT_EQ(c.mode >= 3 ? file : err, "") << "the other channel stays empty";
}

INSTANTIATE_TEST_SUITE_P(AllModes, TraceLogModes,
                         ::testing::Values(ModeCase{0, false, false}, ModeCase{1, true, true},
                                           ModeCase{2, false, true}, ModeCase{3, true, true},
                                           ModeCase{4, false, true}));

TEST(TraceLog, EmptyPathWritesNothingAnywhere) {
  ScopedWorkDir dir;
  ::testing::internal::CaptureStderr();
  {
    CTraceLog log("", 3, 1);
    EXPECT_EQ(log.WriteTrace(kLevelError, "x", kErrInfo), 0);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(TraceLog, UnopenableFileDropsTheLineAndRecovers) {
  ScopedWorkDir dir;
  CTraceLog log("missing-folder/t.log", 1, 1);
  EXPECT_EQ(log.WriteTrace(kLevelInfo, "lost", kInfo), 0);
  ASSERT_EQ(::mkdir("missing-folder", 0700), 0);
  EXPECT_EQ(log.WriteTrace(kLevelInfo, "kept", kInfo), 1);
  EXPECT_EQ(TraceSequence("missing-folder/t.log"), std::vector<std::string>{"Info    |kept"});
}

// A log path that is not a plain file of ours takes no line: a symbolic link is not followed
// (its target stays as it was) and a FIFO does not hang the writer. A new log is private.
TEST(TraceLog, WritesOnlyPrivateRegularFiles) {
  ScopedWorkDir dir;
  test::WriteFile("target", "kept\n");
  ASSERT_EQ(::symlink("target", "link.log"), 0);
  ASSERT_EQ(::mkfifo("fifo.log", 0600), 0);
  for (const char* path : {"link.log", "fifo.log"}) {
    CTraceLog log(path, 1, 7);
    EXPECT_EQ(log.WriteTrace(kLevelInfo, "lost", kInfo), 0) << path;
  }
  EXPECT_EQ(ReadFile("target"), "kept\n");

  const mode_t oldMask = ::umask(0);
  {
    CTraceLog log("new.log", 1, 7);
    EXPECT_EQ(log.WriteTrace(kLevelInfo, "kept", kInfo), 1);
  }
  ::umask(oldMask);
  struct stat st {};
  ASSERT_EQ(::stat("new.log", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// When the lock file cannot be used the log still writes, and says once why its lines are no
// longer kept whole against other processes.
TEST(TraceLog, UnusableLockFileIsToldOnce) {
  ScopedWorkDir dir;
  ASSERT_EQ(platform::TempDirectory(), dir.TempDir());  // created private, as the library does
  const std::string lockPath = dir.TempDir() + "20061024.Orvane32.sgLogName.m_LogMutex_007.lock";
  ASSERT_EQ(::symlink("elsewhere", lockPath.c_str()), 0);
  {
    CTraceLog log("t.log", 1, 7);
    EXPECT_EQ(log.WriteTrace(kLevelInfo, "first", kInfo), 1);
    EXPECT_EQ(log.WriteTrace(kLevelInfo, "second", kInfo), 1);
  }
  EXPECT_EQ(TraceSequence("t.log"),
            (std::vector<std::string>{
                "ErrInfo |Trace lock holds within this process only, other processes' lines may "
                "interleave: Too many levels of symbolic links: " +
                    lockPath,
                "Info    |first", "Info    |second"}));
  struct stat st {};
  EXPECT_EQ(::stat((dir.TempDir() + "elsewhere").c_str(), &st), -1) << "the link is not followed";
}

TEST(TraceLog, MutexNamedForThePort) {
  ScopedWorkDir dir;
  EXPECT_EQ(CTraceLog("x", 0, 1).MutexName(), "20061024.Orvane32.sgLogName.m_LogMutex_001");
  EXPECT_EQ(CTraceLog("x", 0, 256).MutexName(), "20061024.Orvane32.sgLogName.m_LogMutex_256");
}

// Several processes tracing the same port into one file: every line and every dump stays whole.
TEST(TraceLog, ProcessesInterleaveWholeLinesAndDumps) {
  ScopedWorkDir dir;
  constexpr int kProcesses = 3;
  constexpr int kRounds = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      CTraceLog log("shared.log", 1, 3);
      uint8_t bytes[40];
      for (int i = 0; i < 40; ++i) bytes[i] = static_cast<uint8_t>('A' + p);
      for (int r = 0; r < kRounds; ++r) {
        log.WriteTrace(kLevelInfo, std::string(200, static_cast<char>('a' + p)), kInfo);
        log.WriteDump(kLevelInfo, bytes, 40);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream in(ReadFile("shared.log"));
  std::string line;
  int traceLines = 0, dumps = 0;
  std::regex traceLine(R"(^\d{4}:.*:Inf:Info    : ([a-c])\1{199}$)");
  while (std::getline(in, line)) {
    if (line.empty()) continue;  // separators and dump ends
    if (line.rfind("    Addr :", 0) == 0) {
      // A dump: header, dashes, three rows, all from one process, then its empty line.
      std::string dashes, r0, r1, r2, end;
      ASSERT_TRUE(std::getline(in, dashes) && std::getline(in, r0) && std::getline(in, r1) &&
                  std::getline(in, r2) && std::getline(in, end));
      EXPECT_EQ(dashes, "    " + std::string(55, '-'));
      EXPECT_EQ(r0.substr(0, 10), "    0000 :");
      EXPECT_EQ(r1.substr(0, 10), "    0010 :");
      EXPECT_EQ(r2.substr(0, 10), "    0020 :");
      char c = r0.back();
      EXPECT_EQ(r0.substr(r0.size() - 16), std::string(16, c));
      EXPECT_EQ(r2.substr(r2.size() - 8), std::string(8, c));
      EXPECT_EQ(end, "");
      ++dumps;
      continue;
    }
    EXPECT_TRUE(std::regex_match(line, traceLine)) << line;
    ++traceLines;
  }
  EXPECT_EQ(traceLines, kProcesses * kRounds);
  EXPECT_EQ(dumps, kProcesses * kRounds);
}

}  // namespace
}  // namespace linvo::engine
