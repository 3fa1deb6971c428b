#include "engine/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "engine/comm_port.h"
#include "support/test_env.h"

namespace linvo::engine {
namespace {

using test::ScopedWorkDir;
using test::WriteFile;

TEST(Settings, DefaultsWithoutAFile) {
  ScopedWorkDir dir;
  EngineSettings s = LoadEngineSettings(7);
  EXPECT_EQ(s.logMode, 0);
  EXPECT_EQ(s.logPattern, ".\\Linvo%03d.log");
  EXPECT_EQ(s.logPath, ".\\Linvo007.log");
  EXPECT_EQ(s.delay, 0);
  EXPECT_EQ(s.writeFileTimeOut, 5000);
  EXPECT_EQ(s.file, dir.TempDir() + "Linvo.ini");
}

struct ClampCase {
  const char* ini;
  int mode;
  int delay;
  int writeTimeout;
};

class SettingsClamps : public ::testing::TestWithParam<ClampCase> {};

TEST_P(SettingsClamps, ValuesOutOfRange) {
  ScopedWorkDir dir;
  WriteFile("Linvo.ini", GetParam().ini);
  EngineSettings s = LoadEngineSettings(1);
  EXPECT_EQ(s.logMode, GetParam().mode);
  EXPECT_EQ(s.delay, GetParam().delay);
  EXPECT_EQ(s.writeFileTimeOut, GetParam().writeTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsClamps,
    ::testing::Values(
        ClampCase{"[Log]\nLogging=7\n", 0, 0, 5000}, ClampCase{"[Log]\nLogging=-1\n", 0, 0, 5000},
        ClampCase{"[log]\nlogging=4\n", 4, 0, 5000}, ClampCase{"[Delay]\nDelay=-5\n", 0, 0, 5000},
        ClampCase{"[Delay]\nDelay=25\n[TimeOut]\nWriteFileTimeOut=-1\n", 0, 25, 5000},
        ClampCase{"[TimeOut]\nWriteFileTimeOut=0\n", 0, 0, 0},
        // Above the maxima: a pause or a write wait held under the port lock
        // stays bounded.
        ClampCase{"[Delay]\nDelay=2147483647\n[TimeOut]\nWriteFileTimeOut=2147483647\n", 0,
                  kMaxDelayMs, kMaxWriteFileTimeOutMs},
        ClampCase{"[Delay]\nDelay=10001\n[TimeOut]\nWriteFileTimeOut=60001\n", 0, 10000, 60000},
        ClampCase{"[Delay]\nDelay=10000\n[TimeOut]\nWriteFileTimeOut=60000\n", 0, 10000, 60000}));

TEST(Settings, CurrentDirectoryFileWinsOverTempDirectory) {
  ScopedWorkDir dir;
  ::mkdir(dir.TempDir().c_str(), 0700);
  WriteFile(dir.TempDir() + "Linvo.ini", "[Delay]\nDelay=11\n");
  EXPECT_EQ(LoadEngineSettings(1).delay, 11);
  WriteFile("Linvo.ini", "[Delay]\nDelay=22\n");
  EXPECT_EQ(LoadEngineSettings(1).delay, 22);
}

struct PatternCase {
  const char* pattern;
  int port;
  const char* expanded;
};

class LogPattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(LogPattern, OnlyTheFirstIntegerConversionTakesThePortNumber) {
  EXPECT_EQ(ExpandLogPattern(GetParam().pattern, GetParam().port), GetParam().expanded);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LogPattern,
    ::testing::Values(PatternCase{".\\Linvo%03d.log", 7, ".\\Linvo007.log"},
                      PatternCase{"log-%d-%d.txt", 12, "log-12-%d.txt"},
                      PatternCase{"%s%s%n%d", 3, "%s%s%n3"}, PatternCase{"%x_%ld", 255, "ff_%ld"},
                      PatternCase{"%-4d|", 5, "5   |"}, PatternCase{"100%%_%d", 2, "100%_2"},
                      PatternCase{"%*d", 9, "%*d"}, PatternCase{"%99999999d", 1, "%99999999d"},
                      PatternCase{"plain", 1, "plain"}, PatternCase{"trailing%", 1, "trailing%"},
                      PatternCase{"%p%f%c", 1, "%p%f%c"}));

TEST(Settings, PortObjectReloadsAndWritesTheVersionLine) {
  ScopedWorkDir dir;
  WriteFile("Linvo.ini", test::LoggingIni(dir.Path()) + "[Delay]\nDelay=3\n");
  CCommPort port(4);
  EXPECT_EQ(port.Delay(), 3);
  EXPECT_EQ(port.Log()->Path(), dir.Path() + "/trace004.log");
  EXPECT_EQ(test::TraceSequence(dir.Path() + "/trace004.log"),
            std::vector<std::string>{"Info    |OCX Version = 1, 0, 0, 0"});

  WriteFile("Linvo.ini", "[Log]\nLogging=1\nLogFileName=" + dir.Path() +
                             "/second%d.log\n[Delay]\nDelay=-5\n[TimeOut]\nWriteFileTimeOut=70\n");
  std::shared_ptr<CTraceLog> held = port.Log();  // an operation still writing elsewhere
  EXPECT_EQ(port.ReloadSettings("SetLogFlag"), 0);
  EXPECT_EQ(port.Delay(), 0);
  EXPECT_EQ(port.WriteFileTimeOut(), 70);
  EXPECT_EQ(port.Log()->Path(), dir.Path() + "/second4.log");
  EXPECT_EQ(held->WriteTrace(kLevelInfo, "still usable", kInfo), 1);
  held.reset();  // the last holder retires the old log, which closes its trace
  EXPECT_EQ(test::ReadFile(dir.Path() + "/trace004.log").back(), '\n');
  EXPECT_EQ(
      test::TraceSequence(dir.Path() + "/trace004.log"),
      (std::vector<std::string>{"Info    |OCX Version = 1, 0, 0, 0", "Info    |still usable"}));
  EXPECT_EQ(test::TraceSequence(dir.Path() + "/second4.log"),
            std::vector<std::string>{"Info    |OCX Version = 1, 0, 0, 0"});
}

// A Linvo.ini in the current directory that the reads cannot use is passed over for the per-user
// file, and the port object says why in one ErrInfo line when it is created.
TEST(Settings, UnusableLocalFileIsPassedOverWithItsReason) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    const char* reason;
  };
  const Case cases[] = {
      {"symbolic link",
       [](const std::string& path) {
         WriteFile(path + ".target", "[Delay]\nDelay=9\n");
         ASSERT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
       },
       "is a symbolic link (settings files are not read through links)"},
      {"directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); },
       "is a directory"},
      {"FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
       "is not a regular file"},
      {"too large",
       [](const std::string& path) {
         WriteFile(path, "[Delay]\nDelay=9\n");
         ASSERT_EQ(truncate(path.c_str(), (16 << 20) + 1), 0);
       },
       "is larger than 16 MiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedWorkDir dir;
    ::mkdir(dir.TempDir().c_str(), 0700);
    WriteFile(dir.TempDir() + "Linvo.ini", test::LoggingIni(dir.Path()) + "[Delay]\nDelay=4\n");
    c.make(dir.Path() + "/Linvo.ini");
    const std::string unused = std::string("Settings file ./Linvo.ini not used: it ") + c.reason;
    const EngineSettings s = LoadEngineSettings(5);
    EXPECT_EQ(s.file, dir.TempDir() + "Linvo.ini");
    EXPECT_EQ(s.unused, unused);
    EXPECT_EQ(s.delay, 4);
    CCommPort port(5);
    EXPECT_EQ(
        test::TraceSequence(dir.Path() + "/trace005.log"),
        (std::vector<std::string>{"Info    |OCX Version = 1, 0, 0, 0", "ErrInfo |" + unused}));
  }
}

TEST(Settings, DestroyingThePortAppendsOneEmptyLine) {
  ScopedWorkDir dir;
  WriteFile("Linvo.ini", test::LoggingIni(dir.Path()));
  std::string before;
  {
    CCommPort port(9);
    before = test::ReadFile(dir.Path() + "/trace009.log");
  }
  EXPECT_EQ(test::ReadFile(dir.Path() + "/trace009.log"), before + "\n");
}

}  // namespace
}  // namespace linvo::engine
