// Port-name resolution: "COMn" / "\\.\COMn" to a virtual line, a [Ports] device or /dev/ttyS<n-1>.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/serial.h"
#include "support/test_env.h"

namespace linvo::platform {
namespace {

struct NameCase {
  const char* name;
  std::optional<std::string> device;
};

TEST(SerialResolutionTest, MapsWindowsNamesToTtySDevices) {
  const NameCase cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"com9", "/dev/ttyS8"},
      {"\\\\.\\COM10", "/dev/ttyS9"},
      {"\\\\.\\cOm256", "/dev/ttyS255"},
      {"COM0", std::nullopt},
      {"COM257", std::nullopt},
      {"COM01", std::nullopt},
      {"COM1x", std::nullopt},
      {"COM", std::nullopt},
      {"LPT1", std::nullopt},
      {"", std::nullopt},
      {"\\\\.\\", std::nullopt},
      {"\\\\?\\COM1", std::nullopt},
      {" COM1", std::nullopt},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(ResolvePortName(c.name, ""), c.device) << c.name;
    if (!c.device) {
      EXPECT_EQ(OpenSerialLine(c.name, "").line, nullptr) << c.name;
    }
  }
}

class SerialPortsSectionTest : public ::testing::Test {
 protected:
  test::ScopedWorkDir m_dir;
  PseudoTerminal m_pty;
  std::string m_ini = m_dir.Path() + "/settings.ini";
};

TEST_F(SerialPortsSectionTest, PortsEntryWinsOverTtyS) {
  test::WriteFile(m_ini, "[Other]\nCOM3=/dev/null\n[Ports]\ncom3 = " + m_pty.SlavePath() + "\n");
  EXPECT_EQ(ResolvePortName("COM3", m_ini), m_pty.SlavePath());
  EXPECT_EQ(ResolvePortName("\\\\.\\COM3", m_ini), m_pty.SlavePath());
  EXPECT_EQ(ResolvePortName("COM4", m_ini), "/dev/ttyS3");
  EXPECT_EQ(ResolvePortName("COM3", m_dir.Path() + "/missing.ini"), "/dev/ttyS2");

  const auto line = OpenSerialLine("COM3", m_ini).line;
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->DevicePath(), m_pty.SlavePath());
}

TEST_F(SerialPortsSectionTest, VirtualLineWinsOverPortsEntry) {
  test::WriteFile(m_ini, "[Ports]\nCOM3=" + m_pty.SlavePath() + "\n");
  const auto peer = RegisterVirtualLine("\\\\.\\com3");
  EXPECT_EQ(ResolvePortName("COM3", m_ini), "virtual:COM3");
  {
    const auto line = OpenSerialLine("COM3", m_ini).line;
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->DevicePath(), "virtual:COM3");
    EXPECT_TRUE(peer->HostOpen());
  }
  UnregisterVirtualLine("COM3");
  EXPECT_EQ(ResolvePortName("COM3", m_ini), m_pty.SlavePath());
}

TEST_F(SerialPortsSectionTest, DeviceThatCannotBeOpenedGivesNull) {
  const std::string plainFile = m_dir.Path() + "/plain";
  test::WriteFile(plainFile, "not a tty");
  test::WriteFile(m_ini, "[Ports]\nCOM5=" + m_dir.Path() + "/absent\nCOM6=" + plainFile + "\n");
  EXPECT_EQ(OpenSerialLine("COM5", m_ini).line, nullptr);
  EXPECT_EQ(OpenSerialLine("COM6", m_ini).line, nullptr);
}

TEST(SerialVirtualRegistryTest, RegistrationNamesAreNormalised) {
  const auto peer = RegisterVirtualLine("COM10");
  EXPECT_EQ(ResolvePortName("\\\\.\\COM10", ""), "virtual:COM10");
  const auto line = OpenSerialLine("\\\\.\\COM10", "").line;
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(peer->HostOpen());
  EXPECT_THROW(RegisterVirtualLine("LPT1"), std::invalid_argument);
  UnregisterVirtualLine("com10");
  EXPECT_EQ(ResolvePortName("COM10", ""), "/dev/ttyS9");
}

}  // namespace
}  // namespace linvo::platform
