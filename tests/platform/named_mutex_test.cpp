#include "platform/named_mutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace linvo::platform {
namespace {

namespace fs = std::filesystem;

class NamedMutexTest : public ::testing::Test {
 protected:
  // Runs `threads` threads that each take the mutex 200 times, through their own objects or one
  // shared object, and counts the times two threads were inside at once.
  int CountOverlaps(int threads, bool shareObject, const std::string& name) {
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    NamedMutex shared(name);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        NamedMutex own(name);
        NamedMutex& mutex = shareObject ? shared : own;
        for (int i = 0; i < 200; ++i) {
          std::lock_guard<NamedMutex> guard(mutex);
          if (inside.exchange(true)) ++overlaps;
          std::this_thread::yield();
          inside = false;
        }
      });
    }
    for (auto& w : workers) w.join();
    return overlaps;
  }

  test::ScopedWorkDir m_work;  // the per-user temporary directory is the test's own
  std::string m_dir = m_work.Path();
  std::string m_lockDir = m_work.TempDir();
};

TEST_F(NamedMutexTest, LockFileHasTheSanitisedName) {
  NamedMutex mutex("Global\\linvo/port 3:x");
  EXPECT_EQ(mutex.Name(), "Global\\linvo/port 3:x");
  const std::string path = m_lockDir + "Global_linvo_port_3_x.lock";
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // While held, the file is locked for everyone else.
  const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  mutex.lock();
  EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0);
  mutex.unlock();
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
  close(probe);
}

TEST_F(NamedMutexTest, ThreadsAreExcluded) {
  EXPECT_EQ(CountOverlaps(3, /*shareObject=*/true, "shared"), 0);
  EXPECT_EQ(CountOverlaps(3, /*shareObject=*/false, "separate"), 0);
}

TEST_F(NamedMutexTest, WithoutALockFileThreadsAreStillExcluded) {
  setenv("TMPDIR", (m_dir + "/missing/deeper").c_str(), 1);
  EXPECT_EQ(CountOverlaps(3, /*shareObject=*/true, "nofile"), 0);
}

TEST_F(NamedMutexTest, ProcessesLoseNoIncrements) {
  constexpr int kIncrements = 200;
  const std::string counterPath = m_dir + "/counter";
  const int counter = open(counterPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(counter, 0);
  ASSERT_EQ(pwrite(counter, "0", 1, 0), 1);
  // Read, parse, yield, write back: without exclusion two processes lose increments.
  auto increment = [&] {
    NamedMutex mutex("counter");
    for (int i = 0; i < kIncrements; ++i) {
      std::lock_guard<NamedMutex> guard(mutex);
      char text[16] = {};
      if (pread(counter, text, sizeof text - 1, 0) <= 0) return false;
      const std::string next = std::to_string(std::atoi(text) + 1);
      sched_yield();
      if (pwrite(counter, next.data(), next.size(), 0) != static_cast<ssize_t>(next.size())) {
        return false;
      }
    }
    return true;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(increment() ? 0 : 1);
  EXPECT_TRUE(increment());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char text[16] = {};
  ASSERT_GT(pread(counter, text, sizeof text - 1, 0), 0);
  EXPECT_EQ(std::atoi(text), 2 * kIncrements);
  close(counter);
}

TEST_F(NamedMutexTest, HolderThatDiesIsTakenOver) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex mutex("abandoned");
    mutex.lock();
    (void)!write(ready[1], "x", 1);
    _exit(0);  // dies holding the lock
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  NamedMutex mutex("abandoned");
  // A hang here is the failure; the alarm turns it into a killed test instead of a stuck one.
  alarm(10);
  mutex.lock();
  alarm(0);
  mutex.unlock();
}

}  // namespace
}  // namespace linvo::platform
