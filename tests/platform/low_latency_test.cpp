// The driver's low-latency mode: asked for on open, put back on close, never a failure.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/serial.h"
#include "platform/serial_low_latency.h"

namespace linvo::platform {
namespace {

// A driver played in the test: its flags, and what its TIOCSSERIAL answers.
struct FakeDriver {
  bool hasSerialInfo = true;
  int setError = 0;  // errno of a refused TIOCSSERIAL, 0 to accept
  int flags = 0;
  int sets = 0;
};
FakeDriver g_driver;

int FakeCall(int, unsigned long request, serial_struct* info) {
  if (!g_driver.hasSerialInfo) {
    errno = ENOTTY;
    return -1;
  }
  if (request == TIOCGSERIAL) {
    *info = serial_struct{};
    info->flags = g_driver.flags;
    return 0;
  }
  ++g_driver.sets;
  if (g_driver.setError != 0) {
    errno = g_driver.setError;
    return -1;
  }
  g_driver.flags = info->flags;
  return 0;
}

struct LowLatencyCase {
  const char* name;
  FakeDriver driver;
  bool wanted;
  LowLatencyState state;
  const char* detail;
  int flagsWhileOpen;
  int flagsAfterClose;
};

class LowLatencyTest : public ::testing::TestWithParam<LowLatencyCase> {};

TEST_P(LowLatencyTest, AsksOnOpenAndPutsBackOnClose) {
  const LowLatencyCase& c = GetParam();
  g_driver = c.driver;
  {
    LowLatencyMode mode(-1, c.wanted, FakeCall);
    EXPECT_EQ(mode.Outcome().state, c.state);
    EXPECT_EQ(mode.Outcome().detail, c.detail);
    EXPECT_EQ(g_driver.flags, c.flagsWhileOpen);
  }
  EXPECT_EQ(g_driver.flags, c.flagsAfterClose);
}

constexpr int kOther = ASYNC_SKIP_TEST;  // a flag of the driver's own that must survive
INSTANTIATE_TEST_SUITE_P(Drivers, LowLatencyTest,
                         ::testing::Values(LowLatencyCase{"SwitchesOnAndBack",
                                                          {true, 0, kOther},
                                                          true,
                                                          LowLatencyState::kOn,
                                                          "",
                                                          kOther | ASYNC_LOW_LATENCY,
                                                          kOther},
                                           LowLatencyCase{"AlreadyOnStaysOn",
                                                          {true, 0, ASYNC_LOW_LATENCY},
                                                          true,
                                                          LowLatencyState::kOn,
                                                          "",
                                                          ASYNC_LOW_LATENCY,
                                                          ASYNC_LOW_LATENCY},
                                           LowLatencyCase{"DriverRefuses",
                                                          {true, EPERM, kOther},
                                                          true,
                                                          LowLatencyState::kUnavailable,
                                                          "Operation not permitted",
                                                          kOther,
                                                          kOther},
                                           LowLatencyCase{"NoSuchDriverMode",
                                                          {false, 0, 0},
                                                          true,
                                                          LowLatencyState::kUnavailable,
                                                          "Inappropriate ioctl for device",
                                                          0,
                                                          0},
                                           LowLatencyCase{"SettingTurnsItOff",
                                                          {true, 0, kOther},
                                                          false,
                                                          LowLatencyState::kSwitchedOff,
                                                          "",
                                                          kOther,
                                                          kOther}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LowLatencyOnLines, PseudoTerminalOpensWithoutIt) {
  PseudoTerminal pty;
  LowLatencyMode mode(pty.MasterFd(), true);
  EXPECT_EQ(mode.Outcome().state, LowLatencyState::kUnavailable);
  EXPECT_EQ(mode.Outcome().detail, "Inappropriate ioctl for device");
  auto peer = RegisterVirtualLine("COM44");
  auto line = OpenSerialLine("COM44", "").line;
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->LowLatency().state, LowLatencyState::kNotApplicable);
  line.reset();
  UnregisterVirtualLine("COM44");
}

}  // namespace
}  // namespace linvo::platform
