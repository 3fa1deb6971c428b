#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/test_env.h"

namespace linvo::platform {
namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
 protected:
  void Put(const std::string& bytes) { test::WriteFile(m_file, bytes); }
  std::string Contents() const { return test::ReadFile(m_file); }

  test::ScopedWorkDir m_work;
  fs::path m_dir = m_work.Path();
  std::string m_file = m_work.Path() + "/Linvo.ini";
};

TEST_F(ProfileTest, MissingFileGivesDefaults) {
  EXPECT_EQ(ReadProfileInt("Settings", "Baud", 9600, m_file), 9600);
  EXPECT_EQ(ReadProfileString("Settings", "Port", "COM1", m_file, 64), "COM1");
  EXPECT_EQ(ReadProfileString("Settings", "Port", "COM1", m_file, 3), "CO");
  EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(ProfileTest, ReadsValues) {
  Put("; settings\r\n"
      "Orphan=before any section\r\n"
      "[Settings]\r\n"
      "  Baud  =  19200  \r\n"
      "Digits=12abc\r\n"
      "Letters=abc\r\n"
      "Negative=-5\r\n"
      "Plus=+7\r\n"
      "Big=99999999999\r\n"
      "Small=-99999999999\r\n"
      "Empty=\r\n"
      "Double=\"  quoted  \"\r\n"
      "Single='x'\r\n"
      "Unpaired=\"x'\r\n"
      "Inline=a ; not a comment\r\n"
      ";Commented=1\r\n"
      "NoEquals\r\n"
      "Dup=first\r\n"
      "dup=second\r\n"
      "[settings]\r\n"
      "Late=in the second section of that name\r\n"
      "[ Other ]\n"
      "Baud=300\n"
      "Last=no newline");
  struct IntCase {
    const char* section;
    const char* key;
    int expected;
  } intCases[] = {
      {"Settings", "Baud", 19200},     {"SETTINGS", "baud", 19200},
      {"Settings", "Digits", 12},      {"Settings", "Letters", 0},
      {"Settings", "Negative", -5},    {"Settings", "Plus", 7},
      {"Settings", "Big", 2147483647}, {"Settings", "Small", -2147483647 - 1},
      {"Settings", "Empty", 42},       {"Settings", "Missing", 42},
      {"Settings", "Commented", 42},   {"Settings", "Late", 42},
      {"Other", "Baud", 300},          {"Nowhere", "Baud", 42},
  };
  for (const auto& c : intCases) {
    EXPECT_EQ(ReadProfileInt(c.section, c.key, 42, m_file), c.expected)
        << c.section << "/" << c.key;
  }
  struct StringCase {
    const char* section;
    const char* key;
    const char* expected;
  } stringCases[] = {
      {"Settings", "Baud", "19200"},
      {"Settings", "Double", "  quoted  "},
      {"Settings", "Single", "x"},
      {"Settings", "Unpaired", "\"x'"},
      {"Settings", "Inline", "a ; not a comment"},
      {"Settings", "Empty", ""},
      {"Settings", "DUP", "first"},
      {"Settings", "NoEquals", "default"},
      {"Settings", "Orphan", "default"},
      {"  other ", " last ", "no newline"},
  };
  for (const auto& c : stringCases) {
    EXPECT_EQ(ReadProfileString(c.section, c.key, "default", m_file, 256), c.expected)
        << c.section << "/" << c.key;
  }
}

TEST_F(ProfileTest, StringIsCutToTheBuffer) {
  Put("[S]\nK=abcdef\n");
  EXPECT_EQ(ReadProfileString("S", "K", "", m_file, 7), "abcdef");
  EXPECT_EQ(ReadProfileString("S", "K", "", m_file, 4), "abc");
  EXPECT_EQ(ReadProfileString("S", "K", "", m_file, 1), "");
  EXPECT_EQ(ReadProfileString("S", "K", "", m_file, 0), "");
}

TEST_F(ProfileTest, WriteChangesExactlyOneKey) {
  const std::string before =
      "; top comment\r\n"
      "[A]\r\n"
      "Key = old \r\n"
      "Other=1\r\n"
      "\r\n"
      "; about B\r\n"
      "[B]\r\n"
      "Key=b\r\n";
  struct Case {
    const char* section;
    const char* key;
    const char* value;
    std::string after;
  } cases[] = {
      // Existing key: the line keeps its key spelling and terminator.
      {"a", "KEY", "new",
       "; top comment\r\n[A]\r\nKey=new\r\nOther=1\r\n\r\n; about B\r\n[B]\r\nKey=b\r\n"},
      // New key: after the section's last key, before the blank line and comment.
      {"A", "Added", "2",
       "; top comment\r\n[A]\r\nKey = old \r\nOther=1\r\nAdded=2\r\n\r\n; about B\r\n[B]\r\n"
       "Key=b\r\n"},
      // New section: at the end, after a blank line, with the file's line ending.
      {"C", "K", "v",
       "; top comment\r\n[A]\r\nKey = old \r\nOther=1\r\n\r\n; about B\r\n[B]\r\nKey=b\r\n"
       "\r\n[C]\r\nK=v\r\n"},
  };
  for (const auto& c : cases) {
    Put(before);
    ASSERT_TRUE(WriteProfileValue(c.section, c.key, c.value, m_file));
    EXPECT_EQ(Contents(), c.after) << c.section << "/" << c.key;
    EXPECT_EQ(ReadProfileString(c.section, c.key, "", m_file, 64), c.value);
  }
}

// Only "\n" ends a line: after a last line without one (also one that ends in a bare "\r") the
// new key gets a line of its own and both keys read back.
TEST_F(ProfileTest, WriteAppendsToAnUnterminatedLastLine) {
  struct Case {
    const char* before;
    const char* section;
    const char* after;
  } const cases[] = {
      {"[A]\nX=1", "A", "[A]\nX=1\nY=2\n"},
      {"[A]\r\nX=1\r", "A", "[A]\r\nX=1\r\nY=2\r\n"},
      {"[A]\r\nX=1\r", "B", "[A]\r\nX=1\r\n\r\n[B]\r\nY=2\r\n"},
  };
  for (const Case& c : cases) {
    Put(c.before);
    ASSERT_TRUE(WriteProfileValue(c.section, "Y", "2", m_file));
    EXPECT_EQ(Contents(), c.after) << c.before;
    EXPECT_EQ(ReadProfileString("A", "X", "", m_file, 64), "1") << c.before;
    EXPECT_EQ(ReadProfileInt(c.section, "Y", 0, m_file), 2) << c.before;
  }
}

// A temporary file can only be left by a writer that died; the next write removes it, and
// keeps what merely looks alike.
TEST_F(ProfileTest, WriteRemovesTemporariesOfDeadWriters) {
  Put("[A]\nX=1\n");
  for (const char* name : {"Linvo.ini.tmp-a1B2c3", "Linvo.ini.tmp-Zz9y8x"}) {
    test::WriteFile((m_dir / name).string(), "[A]\nX=");
  }
  for (const char* name : {"Linvo.ini.backup", "Linvo.ini.tmp-long-name", "Other.ini.tmp-a1B2c3"}) {
    test::WriteFile((m_dir / name).string(), "keep");
  }
  ASSERT_TRUE(WriteProfileValue("A", "X", "2", m_file));
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(m_dir)) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"Linvo.ini", "Linvo.ini.lock", "Linvo.ini.backup",
                                          "Linvo.ini.tmp-long-name", "Other.ini.tmp-a1B2c3"}));
}

TEST_F(ProfileTest, WriteCreatesFileAndSection) {
  ASSERT_TRUE(WriteProfileValue("Settings", "Baud", "9600", m_file));
  EXPECT_EQ(Contents(), "[Settings]\nBaud=9600\n");
  // A new section comes after a blank line.
  ASSERT_TRUE(WriteProfileValue("Log", "Logging", "0", m_file));
  EXPECT_EQ(Contents(), "[Settings]\nBaud=9600\n\n[Log]\nLogging=0\n");
  EXPECT_EQ(ReadProfileInt("settings", "BAUD", 0, m_file), 9600);
  struct stat st {};
  ASSERT_EQ(stat(m_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ProfileTest, WriteKeepsTheFileMode) {
  Put("[A]\nX=1\n");
  ASSERT_EQ(chmod(m_file.c_str(), 0644), 0);
  ASSERT_TRUE(WriteProfileValue("A", "X", "2", m_file));
  struct stat st {};
  ASSERT_EQ(stat(m_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(ProfileTest, RefusesInputThatWouldBreakTheFile) {
  Put("[A]\nX=1\n");
  EXPECT_FALSE(WriteProfileValue("A", "X", "1\n[B]", m_file));
  EXPECT_FALSE(WriteProfileValue("A", "X=Y", "1", m_file));
  EXPECT_FALSE(WriteProfileValue("A]", "X", "1", m_file));
  EXPECT_FALSE(WriteProfileValue("A", " ", "1", m_file));
  EXPECT_FALSE(WriteProfileValue("", "X", "1", m_file));
  EXPECT_EQ(Contents(), "[A]\nX=1\n");
}

TEST_F(ProfileTest, SymbolicLinkIsNeitherReadNorWritten) {
  const std::string target = (m_dir / "target.ini").string();
  test::WriteFile(target, "[A]\nX=1\n");
  fs::create_symlink(target, m_file);
  EXPECT_EQ(ReadProfileInt("A", "X", 7, m_file), 7);
  EXPECT_FALSE(WriteProfileValue("A", "X", "2", m_file));
  EXPECT_EQ(test::ReadFile(target), "[A]\nX=1\n");
  EXPECT_TRUE(fs::is_symlink(m_file));
}

TEST_F(ProfileTest, FailedWriteLeavesTheOldFile) {
  const std::string before = "[A]\nX=1\n";
  Put(before);
  // A child limited to 16-byte files cannot write the new file (EFBIG), whoever runs the test.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(WriteProfileValue("A", "X", std::string(100, 'v'), m_file) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write did not fail";
  EXPECT_EQ(Contents(), before);
  // Only the file and its lock file: no temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);
}

// Two processes with two threads each write their own keys while a reader checks that a key
// present from the start never goes missing (a torn or half-written file would lose it).
TEST_F(ProfileTest, ConcurrentWritersLoseNothing) {
  constexpr int kWrites = 25;
  ASSERT_TRUE(WriteProfileValue("S", "Sentinel", "1", m_file));
  auto writeKeys = [this](const std::string& prefix) {
    bool ok = true;
    for (int i = 0; i < kWrites; ++i) {
      ok &= WriteProfileValue("S", prefix + std::to_string(i), std::to_string(i), m_file);
    }
    return ok;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No gtest assertions in the child: the exit status reports.
    bool ok = true;
    std::thread t([&] { ok &= writeKeys("ChildA"); });
    const bool okB = writeKeys("ChildB");
    t.join();
    _exit(ok && okB ? 0 : 1);
  }
  std::atomic<bool> done{false};
  std::atomic<int> sentinelLost{0};
  std::thread reader([&] {
    while (!done) {
      if (ReadProfileInt("S", "Sentinel", 0, m_file) != 1) ++sentinelLost;
    }
  });
  bool okA = true;
  std::thread t([&] { okA = writeKeys("ParentA"); });
  const bool okB = writeKeys("ParentB");
  t.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  done = true;
  reader.join();
  EXPECT_TRUE(okA && okB);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(sentinelLost, 0);
  for (const char* prefix : {"ChildA", "ChildB", "ParentA", "ParentB"}) {
    for (int i = 0; i < kWrites; ++i) {
      EXPECT_EQ(ReadProfileInt("S", prefix + std::to_string(i), -1, m_file), i) << prefix << i;
    }
  }
  // One header, the sentinel and every key once.
  std::istringstream lines(Contents());
  int count = 0;
  for (std::string line; std::getline(lines, line);) ++count;
  EXPECT_EQ(count, 2 + 4 * kWrites);
}

}  // namespace
}  // namespace linvo::platform
