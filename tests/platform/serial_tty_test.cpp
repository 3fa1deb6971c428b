// The tty backend on pseudo-terminals: exclusive open, termios settings, a line without modem
// lines, partial writes, the quiet gap's start and a line that goes away.
#include "platform/posix/serial_tty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"
#include "support/test_env.h"

namespace linvo::platform {
namespace {

class SerialTtyTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteFile(m_ini, "[Ports]\nCOM3=" + m_pty.SlavePath() + "\n"); }
  std::unique_ptr<SerialLine> Open() { return OpenSerialLine("COM3", m_ini).line; }
  // Whether OpenSerialLine succeeds in a child process (exit code 1: opened, 0: refused).
  bool OpensInOtherProcess() {
    const pid_t child = fork();
    if (child == 0) _exit(Open() != nullptr ? 1 : 0);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    return WEXITSTATUS(status) == 1;
  }
  termios DeviceSettings() {
    termios settings{};
    // On a pseudo-terminal the master reads the slave's settings.
    EXPECT_EQ(tcgetattr(m_pty.MasterFd(), &settings), 0);
    return settings;
  }

  test::ScopedWorkDir m_dir;
  PseudoTerminal m_pty;
  std::string m_ini = m_dir.Path() + "/settings.ini";
};

TEST_F(SerialTtyTest, OpenIsExclusiveAcrossDescriptorsAndProcesses) {
  auto first = Open();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->DevicePath(), m_pty.SlavePath());
  EXPECT_EQ(Open(), nullptr);
  EXPECT_FALSE(OpensInOtherProcess());
  first.reset();
  EXPECT_TRUE(OpensInOtherProcess());
  EXPECT_NE(Open(), nullptr);
}

TEST_F(SerialTtyTest, PseudoTerminalActsAsLineWithModemLinesOn) {
  const auto line = Open();
  ASSERT_NE(line, nullptr);
  uint32_t status = 0;
  ASSERT_TRUE(line->GetModemStatus(&status));
  EXPECT_EQ(status, uint32_t{kMsCtsOn | kMsDsrOn | kMsRlsdOn});
  for (const uint32_t function : {kSetDtr, kClrDtr, kSetRts, kClrRts, kSetBreak, kClrBreak}) {
    EXPECT_TRUE(line->EscapeFunction(function)) << function;
  }
  ASSERT_TRUE(line->GetModemStatus(&status));
  EXPECT_EQ(status, uint32_t{kMsCtsOn | kMsDsrOn | kMsRlsdOn});
}

// What the pseudo-terminal driver keeps of a block (it forces CS8 and clears PARENB itself, so
// byte size and parity enable cannot be seen here).
TEST_F(SerialTtyTest, SetStateProgramsTheDriver) {
  const auto line = Open();
  ASSERT_NE(line, nullptr);
  termios settings = DeviceSettings();
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "raw from the open on";
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});

  DeviceControlBlock dcb;
  dcb.BaudRate = 115200;
  dcb.Parity = kMarkParity;
  dcb.fParity = true;
  dcb.StopBits = kOne5StopBits;
  dcb.fRtsControl = kRtsControlHandshake;
  dcb.fOutX = true;
  dcb.XonChar = 0x01;
  dcb.XoffChar = 0x02;
  ASSERT_TRUE(line->SetState(dcb));
  settings = DeviceSettings();
  EXPECT_EQ(cfgetospeed(&settings), speed_t{B115200});
  EXPECT_EQ(settings.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS),
            tcflag_t{PARODD | CMSPAR | CSTOPB | CRTSCTS});
  EXPECT_EQ(settings.c_iflag & (INPCK | IXON | IXOFF), tcflag_t{INPCK | IXON});
  EXPECT_EQ(settings.c_cc[VSTART], 0x01);
  EXPECT_EQ(settings.c_cc[VSTOP], 0x02);

  dcb = DeviceControlBlock{};
  dcb.BaudRate = 250000;
  ASSERT_TRUE(line->SetState(dcb));
  settings = DeviceSettings();
  EXPECT_EQ(GetTtyOutputSpeed(m_pty.MasterFd()), 250000u);
  EXPECT_EQ(settings.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(settings.c_iflag & (INPCK | IXON | IXOFF), 0u);

  dcb.BaudRate = 9600;  // back from a custom rate to a standard one
  ASSERT_TRUE(line->SetState(dcb));
  EXPECT_EQ(GetTtyOutputSpeed(m_pty.MasterFd()), 9600u);
}

TEST_F(SerialTtyTest, WriteReturnsWhatFitsByItsTimeOut) {
  const auto line = Open();
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetTimeouts({0, 0, 0, 0, 20}));
  // Nobody reads the master: the pseudo-terminal's buffers fill and stay full.
  const std::vector<uint8_t> data(1 << 20, 'x');
  const IoResult written = line->Write(data.data(), data.size());
  EXPECT_EQ(written.status, IoStatus::kOk);
  EXPECT_GT(written.bytes, 0u);
  EXPECT_LT(written.bytes, data.size());
  CommStatus status;
  EXPECT_TRUE(line->ClearError(nullptr, &status));
}

// The quiet gap counts from a moment by which every byte read had arrived: never less than the
// gap after the read, never restarted by handling the bytes before the wait, and a byte that
// comes during the gap ends it at once.
TEST_F(SerialTtyTest, QuietGapCountsFromTheBytesRead) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  const auto line = Open();
  ASSERT_NE(line, nullptr);
  auto send = [&](const char* bytes) {
    ASSERT_EQ(write(m_pty.MasterFd(), bytes, std::strlen(bytes)),
              static_cast<ssize_t>(std::strlen(bytes)));
  };
  uint8_t buffer[16];
  auto readBack = [&](std::size_t count) {
    ASSERT_EQ(line->WaitReadable(2000, nullptr), WaitResult::kReady);
    EXPECT_EQ(line->ReadAvailable(buffer, sizeof buffer).bytes, count);
  };

  send("abc");
  readBack(3);
  Clock::time_point read = Clock::now();
  EXPECT_EQ(line->WaitQuietGap(30), WaitResult::kTimeout);
  EXPECT_GE(Clock::now() - read, milliseconds(29)) << "the gap ended early";

  send("de");
  readBack(2);
  std::this_thread::sleep_for(milliseconds(60));  // the caller handles the bytes
  read = Clock::now();
  EXPECT_EQ(line->WaitQuietGap(30), WaitResult::kTimeout);
  EXPECT_LT(Clock::now() - read, milliseconds(25)) << "the gap began again at the wait";

  send("f");
  readBack(1);
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(5));
    send("g");
  });
  EXPECT_EQ(line->WaitQuietGap(2000), WaitResult::kReady);
  late.join();
  readBack(1);
  EXPECT_EQ(buffer[0], 'g');
}

// Descriptors the process has open.
int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// An open that runs out of descriptors part way (the line, then its wake-up and epoll
// descriptors) fails with the system's reason and leaves none of them open.
TEST_F(SerialTtyTest, OpenShortOfDescriptorsLeavesNoneOpen) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = dup(0);
  close(lowestFree);
  const int before = OpenDescriptors();
  int failures = 0;
  for (int spare = 0; spare < 16; ++spare) {
    rlimit limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    OpenResult opened = OpenSerialLine("COM3", m_ini);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (opened.line) break;
    ++failures;
    EXPECT_EQ(opened.error.code, EMFILE) << spare << " spare: " << opened.error.message;
    EXPECT_EQ(OpenDescriptors(), before) << spare << " spare descriptors";
  }
  EXPECT_GE(failures, 3) << "the line, its epoll and its wake-up each need a descriptor";
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SerialTtyGoneTest, ClosedMasterFailsReadsWaitsAndWrites) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  char path[128];
  ASSERT_EQ(ptsname_r(master, path, sizeof path), 0);
  const auto line = OpenTtyLine(path, {}).line;
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetEventMask(kEvRxChar));
  close(master);

  EXPECT_EQ(line->WaitReadable(-1, nullptr), WaitResult::kFailed);
  uint32_t events = 0;
  EXPECT_EQ(line->WaitEvent(&events, -1, nullptr), WaitResult::kFailed);
  uint8_t buffer[4];
  EXPECT_EQ(line->ReadAvailable(buffer, sizeof buffer).status, IoStatus::kWaitFailed);
  EXPECT_EQ(line->Read(buffer, sizeof buffer).status, IoStatus::kWaitFailed);
  EXPECT_EQ(line->Write(buffer, sizeof buffer).status, IoStatus::kFailedAtOnce);
}

// The failures of a line whose device end closed carry the system's reason: the hung-up tty
// reads as empty and polls as failed, and the calls tell why from the driver (EIO).
TEST(SerialTtyGoneTest, ClosedMasterFailuresCarryTheSystemsReason) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  char path[128];
  ASSERT_EQ(ptsname_r(master, path, sizeof path), 0);
  const auto line = OpenTtyLine(path, {}).line;
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetEventMask(kEvRxChar));
  close(master);

  uint32_t events = 0;
  for (const WaitOutcome& waited : {line->WaitReadable(-1, nullptr), line->WaitQuietGap(1),
                                    line->WaitEvent(&events, -1, nullptr)}) {
    EXPECT_EQ(waited, WaitResult::kFailed);
    EXPECT_EQ(waited.error, EIO);
  }
  uint8_t buffer[4];
  for (const IoResult& failed :
       {line->ReadAvailable(buffer, sizeof buffer), line->Read(buffer, sizeof buffer),
        line->Write(buffer, sizeof buffer)}) {
    EXPECT_NE(failed.status, IoStatus::kOk);
    EXPECT_EQ(failed.error, EIO);
  }
}

}  // namespace
}  // namespace linvo::platform
