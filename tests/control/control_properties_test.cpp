// The control's property puts and reads, and its settings-file properties.
#include <gmock/gmock.h>

#include <array>
#include <string>
#include <vector>

#include "control/json_property_bag.h"
#include "control/member_table.h"
#include "control/settings_file.h"
#include "control_fixture.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "portapi/port_table.h"

namespace linvo::control {
namespace {

using ::testing::HasSubstr;

struct PutCase {
  const char* property;
  Value value;
  bool accepted;
};

// Puts a value through the member table and says whether the property took it.
bool PutTakes(CLinvoCtrl& c, const char* name, const Value& value) {
  const MemberInfo* m = FindMember(name);
  EXPECT_NE(m, nullptr) << name;
  if (m == nullptr) return false;
  const Value before = *GetProperty(c, *m);
  EXPECT_TRUE(PutProperty(c, *m, value));
  const Value after = *GetProperty(c, *m);
  if (before != after) return true;
  return after == value;  // the same value put again counts as taken
}

TEST(ControlProperties, PutsAcceptedAndRefusedOnAClosedPort) {
  test::ScopedWorkDir dir;
  const std::vector<PutCase> cases = {
      {"BaudRate", 14400, false},      {"BaudRate", 115200, true},
      {"BaudRate", 250000, true},      {"BaudRate", 2400, true},
      {"BaudRate", 0, false},          {"BaudRate", -9600, false},
      {"PortNo", 257, false},          {"PortNo", 0, false},
      {"PortNo", 256, true},           {"DataBit", "9", false},
      {"DataBit", "7", true},          {"Parity", "e", false},
      {"Parity", "O", true},           {"Parity", "NN", false},
      {"ACKTimer", 0, false},          {"ACKTimer", 1, true},
      {"ResponseTimer", 0, true},      {"ResponseTimer", -1, false},
      {"TXBufferSize", 0, false},      {"RXBufferSize", 1, true},
      {"DSRCheck", false, true},       {"AutoHandshake", false, true},
      {"SendData", "S1", true},        {"PrinterDeviceName", "p", true},
      {"GetCommStatus", "111", false}, {"Version", "9", false},
      {"ReceiveData", "x", false},     {"ReceiveDataLen", 5, false},
      {"EventMask", 1, true},          {"DTRLineControl", false, false},
      {"SendDelayTime", -1, false},    {"SendDelayTime", 50, true},
      {"WriteFileTimeOut", 0, true},   {"LogFlag", 7, true},
  };
  CLinvoCtrl c;
  for (const PutCase& p : cases) {
    SCOPED_TRACE(std::string(p.property) + " " + std::to_string(p.value.index()));
    c.Save(*std::make_unique<JsonPropertyBag>());  // clears the modified mark
    EXPECT_EQ(PutTakes(c, p.property, p.value), p.accepted);
    EXPECT_TRUE(c.IsModified()) << "every put marks the control modified";
  }
  // CancelFlag 0 is taken without the port; 1 needs the port, which is not there.
  c.SetCancelFlag(FALSE);
  EXPECT_EQ(c.Properties().CancelFlag, FALSE);
  c.SetCancelFlag(TRUE);
  EXPECT_EQ(c.Properties().CancelFlag, FALSE);
}

TEST_F(ControlOnSim, LinePutsAreRefusedWhileThisControlHoldsThePortOpen) {
  Open();
  const std::vector<PutCase> cases = {
      {"PortNo", 5, false},
      {"BaudRate", 19200, false},
      {"DataBit", "7", false},
      {"Parity", "E", false},
      {"DSRCheck", false, false},
      {"TXBufferSize", 10, false},
      {"AutoHandshake", false, false},
      {"ACKTimer", 700, true},
      {"ResponseTimer", 9, true},
      {"LogFlag", 2, false},
      {"EventMask", 0x10, true},
      {"BreakControl", true, true},
      {"CancelFlag", true, false /* no worker: 30 */},
  };
  for (const PutCase& p : cases) {
    SCOPED_TRACE(p.property);
    EXPECT_EQ(PutTakes(*m_ctrl, p.property, p.value), p.accepted);
  }
  EXPECT_EQ(m_sim->HostLines().value_or(0) & platform::kHostBreak, platform::kHostBreak);
  EXPECT_EQ(m_ctrl->lvoClosePort(), 0);
  EXPECT_TRUE(PutTakes(*m_ctrl, "BaudRate", 19200)) << "accepted again once closed";
}

TEST_F(ControlOnSim, CommStatusClaimedAndVersion) {
  EXPECT_EQ(m_ctrl->ReadCommStatus(), "000") << "not open";
  EXPECT_EQ(m_ctrl->GetClaimed(), FALSE);
  Open();
  const std::pair<uint32_t, const char*> words[] = {{0x30, "110"}, {0xB0, "111"}, {0, "000"}};
  for (const auto& [word, text] : words) {
    ASSERT_TRUE(m_sim->SetModemLines(word));
    EXPECT_EQ(m_ctrl->ReadCommStatus(), text) << word;
  }
  EXPECT_EQ(m_ctrl->GetClaimed(), TRUE);
  EXPECT_EQ(m_ctrl->GetVersion(), "1, 0, 0, 0");
  EXPECT_EQ(m_ctrl->Properties().Version, "1, 0, 0, 0");

  // A port number out of range (only persisted data can bring one): "???", Claimed kept.
  JsonPropertyBag bag;
  bag.WriteLong("PortNo", 0);
  CLinvoCtrl loaded;
  loaded.Load(bag);
  EXPECT_EQ(loaded.ReadCommStatus(), "???");
}

std::string SettingsFile(const test::ScopedWorkDir& dir) { return dir.TempDir() + "Linvo.ini"; }

TEST(ControlSettingsFile, PutsWriteTheKeyAndRefuseBadValues) {
  test::ScopedWorkDir dir;
  CLinvoCtrl c;
  c.SetPortNo(24);
  const std::string file = SettingsFile(dir);
  // A new control wrote the default file, in its order: the same file as these keys written one
  // by one (the layout, blank lines and line ends, is the profile writer's).
  const std::string expected = dir.Path() + "/Expected.ini";
  const std::vector<std::array<std::string, 3>> keys = {
      {"Application", "Name", "Linvo INI File"}, {"Log", "Logging", "0"},
      {"Log", "LogFileName", DefaultLogPath()},  {"Delay", "Delay", "0"},
      {"TimeOut", "WriteFileTimeOut", "5000"},
  };
  for (const auto& [section, key, value] : keys) {
    ASSERT_TRUE(platform::WriteProfileValue(section, key, value, expected));
  }
  EXPECT_EQ(test::ReadFile(file), test::ReadFile(expected));

  std::remove(file.c_str());
  c.SetSendDelayTime(-1);
  EXPECT_FALSE(platform::FileExists(file)) << "a refused put writes nothing";
  c.SetSendDelayTime(25);
  EXPECT_EQ(c.Properties().SendDelayTime, 25);
  EXPECT_EQ(platform::ReadProfileInt("Delay", "Delay", -1, file), 25);
  EXPECT_EQ(platform::ReadProfileString("Application", "Name", "", file, 256), "Linvo INI File")
      << "the default file came first";

  // The log file name: 255 bytes fit the engine's buffer, 256 do not; no line breaks.
  const std::string fits(255, 'a');
  c.SetLogFileFolder(fits);
  EXPECT_EQ(c.Properties().LogFileFolder, fits);
  c.SetLogFileFolder(std::string(256, 'b'));
  c.SetLogFileFolder("x\n[Log]\nLogging=3");
  EXPECT_EQ(c.Properties().LogFileFolder, fits);
  EXPECT_EQ(platform::ReadProfileString("Log", "LogFileName", "", file, 1024), fits);
  EXPECT_EQ(platform::ReadProfileInt("Log", "Logging", -1, file), 0);
}

// LogFlag while open is refused; after the close the same put writes the key and the port object
// re-reads it (its trace starts).
TEST_F(ControlOnSim, SettingsPutsWaitForTheClose) {
  m_ctrl->SetLogFlag(0);
  Open();
  m_ctrl->SetLogFlag(1);
  EXPECT_EQ(m_ctrl->Properties().LogFlag, 0);
  EXPECT_EQ(platform::ReadProfileInt("Log", "Logging", -1, SettingsFile(m_dir)), 0);
  EXPECT_EQ(m_ctrl->lvoClosePort(), 0);
  const std::size_t before = test::ReadFile(TracePath()).size();
  m_ctrl->SetLogFlag(1);
  EXPECT_EQ(m_ctrl->Properties().LogFlag, 1);
  EXPECT_EQ(platform::ReadProfileInt("Log", "Logging", -1, SettingsFile(m_dir)), 1);
  m_ctrl->lvoComBufferClear(1);
  EXPECT_GT(test::ReadFile(TracePath()).size(), before);
}

}  // namespace
}  // namespace linvo::control
