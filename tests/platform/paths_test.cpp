// Paths, clock and wake event: the small platform units.
#include "platform/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/wake_event.h"

namespace linvo::platform {
namespace {

namespace fs = std::filesystem;

// Sets or unsets an environment variable for the test's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (m_old) {
      setenv(m_name, m_old->c_str(), 1);
    } else {
      unsetenv(m_name);
    }
  }

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linvo-paths-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    m_expected = m_dir + "/linvo-" + std::to_string(getuid());
  }
  void TearDown() override { fs::remove_all(m_dir); }

  std::string m_dir;
  std::string m_expected;  // ${TMPDIR}/linvo-<uid>
};

TEST(NativePathTest, BackslashesBecomeSlashes) {
  EXPECT_EQ(NativePath(".\\Linvo%03d.log"), "./Linvo%03d.log");
  EXPECT_EQ(NativePath("\\\\.\\COM3"), "//./COM3");
  EXPECT_EQ(NativePath("/already/native"), "/already/native");
  EXPECT_EQ(NativePath(""), "");
}

TEST_F(PathsTest, TempDirectoryIsCreatedPrivate) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv tmp("TMPDIR", m_dir + "/");
  EXPECT_EQ(TempDirectory(), m_expected + "/");
  struct stat st {};
  ASSERT_EQ(lstat(m_expected.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // The second call finds it in place.
  EXPECT_EQ(TempDirectory(), m_expected + "/");
}

TEST_F(PathsTest, TempDirectoryRefusesAnUnsafeDirectory) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv tmp("TMPDIR", m_dir);
  const std::string elsewhere = m_dir + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);

  ASSERT_EQ(symlink(elsewhere.c_str(), m_expected.c_str()), 0);
  EXPECT_EQ(TempDirectory(), std::nullopt) << "symbolic link";
  ASSERT_EQ(unlink(m_expected.c_str()), 0);

  ASSERT_EQ(mkdir(m_expected.c_str(), 0700), 0);
  ASSERT_EQ(chmod(m_expected.c_str(), 0777), 0);
  EXPECT_EQ(TempDirectory(), std::nullopt) << "mode 0777";
  ASSERT_EQ(chmod(m_expected.c_str(), 0750), 0);
  EXPECT_EQ(TempDirectory(), std::nullopt) << "mode 0750";
  ASSERT_EQ(rmdir(m_expected.c_str()), 0);

  ASSERT_EQ(close(creat(m_expected.c_str(), 0600)), 0);
  EXPECT_EQ(TempDirectory(), std::nullopt) << "regular file";
}

TEST_F(PathsTest, RuntimeDirectoryIsUsedOnlyWhenPrivate) {
  ScopedEnv tmp("TMPDIR", m_dir);
  const std::string runtimeDir = m_dir + "/run";
  ASSERT_EQ(mkdir(runtimeDir.c_str(), 0700), 0);
  const std::string link = m_dir + "/runlink";
  ASSERT_EQ(symlink(runtimeDir.c_str(), link.c_str()), 0);
  struct Case {
    std::string value;
    mode_t mode;
    std::string expected;
  } cases[] = {
      {runtimeDir, 0700, runtimeDir + "/"},
      {runtimeDir + "/", 0700, runtimeDir + "/"},
      {runtimeDir, 0777, m_expected + "/"},
      {runtimeDir, 0720, m_expected + "/"},
      {link, 0700, m_expected + "/"},
      {"relative/run", 0700, m_expected + "/"},
      {m_dir + "/missing", 0700, m_expected + "/"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(chmod(runtimeDir.c_str(), c.mode), 0);
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.value);
    EXPECT_EQ(TempDirectory(), c.expected) << c.value << " " << std::oct << c.mode;
  }
}

TEST_F(PathsTest, DesktopDirectory) {
  {
    ScopedEnv desktop("XDG_DESKTOP_DIR", "/some/desk/");
    EXPECT_EQ(DesktopDirectory(), "/some/desk");
  }
  ScopedEnv desktop("XDG_DESKTOP_DIR", std::nullopt);
  ScopedEnv home("HOME", m_dir);
  EXPECT_EQ(DesktopDirectory(), std::nullopt);
  ASSERT_EQ(mkdir((m_dir + "/Desktop").c_str(), 0700), 0);
  EXPECT_EQ(DesktopDirectory(), m_dir + "/Desktop");
}

TEST_F(PathsTest, FileExists) {
  EXPECT_TRUE(FileExists(m_dir));
  EXPECT_FALSE(FileExists(m_dir + "/nothing"));
  ASSERT_EQ(close(creat((m_dir + "/file").c_str(), 0600)), 0);
  EXPECT_TRUE(FileExists(m_dir + "/file"));
}

TEST(ClockTest, TickCountFollowsTheMonotonicClock) {
  const uint32_t before = TickCount();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint32_t reference = static_cast<uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
  const uint32_t after = TickCount();
  EXPECT_LE(uint32_t(reference - before), uint32_t(after - before));
}

TEST(ClockTest, NowLocalMatchesLocaltime) {
  // The same clock as NowLocal: time() reads a coarser one that may still show the second before.
  const auto realSeconds = [] {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
  };
  const time_t before = realSeconds();
  const LocalTime now = NowLocal();
  const time_t after = realSeconds();
  tm parts{};
  // Compare with whichever second the reading fell in.
  bool matched = false;
  for (time_t t = before; t <= after; ++t) {
    localtime_r(&t, &parts);
    matched |= parts.tm_year + 1900 == now.year && parts.tm_mon + 1 == now.month &&
               parts.tm_mday == now.day && parts.tm_hour == now.hour &&
               parts.tm_min == now.minute && parts.tm_sec == now.second;
  }
  EXPECT_TRUE(matched);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(WakeEventTest, SignalMakesReadableUntilClear) {
  WakeEvent event;
  EXPECT_FALSE(Readable(event.Native()));
  event.Signal();
  event.Signal();
  EXPECT_TRUE(Readable(event.Native()));
  event.Clear();
  EXPECT_FALSE(Readable(event.Native()));
  event.Clear();  // clearing a clear event does not block
  EXPECT_FALSE(Readable(event.Native()));
}

}  // namespace
}  // namespace linvo::platform
