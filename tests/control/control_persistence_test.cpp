// Persistence: the property exchange through the JSON store, the settings file's four
// properties, and files that are not what they should be.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>

#include "control/json_property_bag.h"
#include "control/member_table.h"
#include "control_fixture.h"
#include "persisted_values.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "portapi/port_table.h"

namespace linvo::control {
namespace {

using ::testing::HasSubstr;

TEST(ControlPersistence, JsonRoundTripKeepsTheThirtyThreeAndTheSettingsFileWins) {
  test::ScopedWorkDir dir;
  JsonPropertyBag source;
  for (const MemberInfo* m : ExchangeOrder()) Write(source, *m, Distinct(*m));
  CLinvoCtrl first;  // writes the default settings file
  first.Load(source);

  JsonPropertyBag saved;
  first.Save(saved);
  const std::string path = dir.Path() + "/control.json";
  std::string error;
  ASSERT_TRUE(saved.SaveFile(path, &error)) << error;
  JsonPropertyBag reread;
  ASSERT_TRUE(reread.LoadFile(path, &error)) << error;
  CLinvoCtrl second;
  second.Load(reread);

  int persisted = 0;
  for (const MemberInfo* m : ExchangeOrder()) {
    SCOPED_TRACE(m->name);
    if (m->settings == nullptr) {
      EXPECT_EQ(FieldOf(second, *m), Distinct(*m));
      ++persisted;
    }
  }
  EXPECT_EQ(persisted, 33);
  // The settings file's values, not the persisted 1034..1037.
  EXPECT_EQ(second.Properties().SendDelayTime, 0);
  EXPECT_EQ(second.Properties().WriteFileTimeOut, 5000);
  EXPECT_EQ(second.Properties().LogFlag, 0);
  EXPECT_THAT(second.Properties().LogFileFolder, HasSubstr("Linvo_%03d.log"));
  // Exchange order and names as stored.
  const std::string text = saved.Text();
  EXPECT_LT(text.find("\"AutoHandshake\""), text.find("\"ACKTimer\""));
  EXPECT_LT(text.find("\"ACKTimer\""), text.find("\"DTRLineControl\""));
  EXPECT_THAT(text, HasSubstr("\"_Version\": 65536"));
}

TEST(ControlPersistence, SettingsFileValuesOverrideAndAForeignFileIsReplaced) {
  test::ScopedWorkDir dir;
  const std::string file = dir.TempDir() + "Linvo.ini";
  { CLinvoCtrl make; }  // creates the temporary directory and the default file
  ASSERT_TRUE(platform::WriteProfileValue("Delay", "Delay", "7", file));
  ASSERT_TRUE(platform::WriteProfileValue("Log", "Logging", "x12", file));
  JsonPropertyBag bag;
  bag.WriteLong("SendDelayTime", 50);
  CLinvoCtrl c;
  c.Load(bag);
  EXPECT_EQ(c.Properties().SendDelayTime, 7);
  EXPECT_EQ(c.Properties().LogFlag, 0) << "not a number";

  ASSERT_TRUE(platform::WriteProfileValue("Application", "Name", "Other", file));
  c.Load(bag);
  EXPECT_EQ(c.Properties().SendDelayTime, 0);
  EXPECT_EQ(platform::ReadProfileString("Application", "Name", "", file, 256), "Linvo INI File");
  EXPECT_EQ(platform::ReadProfileInt("Delay", "Delay", -1, file), 0);
}

// What failed, then the system's reason ("No such file or directory", "Path not found.").
void ExpectSystemReason(const std::string& error, const std::string& what) {
  EXPECT_EQ(error.rfind(what + ": ", 0), 0u) << error;
  EXPECT_GT(error.size(), what.size() + 2) << "no reason given: " << error;
}

TEST(ControlPersistence, HostileFilesLoadAsErrorsOrDefaults) {
  test::ScopedWorkDir dir;
  struct Case {
    const char* name;
    std::string text;
    bool loads;
    const char* error;  // part of the error text
  };
  const std::vector<Case> cases = {
      {"not JSON", "PortNo=3", false, "not JSON"},
      {"empty", "", false, "not JSON"},
      {"an array", "[1,2]", false, "not a JSON object"},
      {"truncated", "{\"PortNo\": 3", false, "not JSON"},
      {"deep nesting", std::string(100000, '[') + std::string(100000, ']'), false, "object"},
      {"too large", "{\"SendData\": \"" + std::string(JsonPropertyBag::kMaxFileBytes, 'a') + "\"}",
       false, "larger than"},
      {"invalid UTF-8", "{\"SendData\": \"\xff\"}", false, "not JSON"},
      {"wrong types", R"({"PortNo": "3", "BaudRate": 1e20, "DSRCheck": 1, "DataBit": 7,
          "TXBufferSize": 4294967296, "RXBufferSize": -4294967296, "SendData": {"bytes": "zz"},
          "Parity": null, "ACKTimer": 2.5, "EventMask": true})",
       true, ""},
      {"huge text", "{\"SendData\": \"" + std::string(JsonPropertyBag::kMaxText + 1, 'a') + "\"}",
       true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path() + "/hostile.json";
    test::WriteFile(path, c.text);
    JsonPropertyBag bag;
    std::string error;
    EXPECT_EQ(bag.LoadFile(path, &error), c.loads) << error;
    EXPECT_THAT(error, HasSubstr(c.error));
    CLinvoCtrl control;
    control.Load(bag);
    // Whatever was in the file, every property has its default.
    for (const MemberInfo* m : ExchangeOrder()) {
      if (m->settings != nullptr || m->dispid == 12 || m->dispid == 14) continue;
      Value expected = m->type == VarType::kText   ? Value(std::string(m->defaultText))
                       : m->type == VarType::kBool ? Value(m->defaultLong != FALSE)
                                                   : Value(m->defaultLong);
      EXPECT_EQ(FieldOf(control, *m), expected) << m->name;
    }
  }
  JsonPropertyBag bag;
  std::string error;
  const std::string missing = dir.Path() + "/missing.json";
  EXPECT_FALSE(bag.LoadFile(missing, &error));
  ExpectSystemReason(error, "cannot open " + missing);
}

TEST(ControlPersistence, SaveReplacesTheFileAtomically) {
  test::ScopedWorkDir dir;
  const std::string path = dir.Path() + "/control.json";
  test::WriteFile(path, "old");
  JsonPropertyBag bag;
  bag.WriteLong("PortNo", 4);
  std::string error;
  ASSERT_TRUE(bag.SaveFile(path, &error)) << error;
  EXPECT_THAT(test::ReadFile(path), HasSubstr("\"PortNo\": 4"));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    files += entry.path().filename().string().rfind("control.json", 0) == 0;
  }
  EXPECT_EQ(files, 1) << "no temporary file left";
  const std::string nowhere = dir.Path() + "/no/such/dir/x.json";
  EXPECT_FALSE(bag.SaveFile(nowhere, &error));
  ExpectSystemReason(error, "cannot create a temporary file for " + nowhere);
}

// A control saved while open no longer counts its port as open, so line puts are taken again;
// its destructor still closes the port it opened.
TEST_F(ControlOnSim, SavingClearsThePortOpenFlagsYetTheDestructorCloses) {
  Open();
  JsonPropertyBag bag;
  m_ctrl->Save(bag);
  EXPECT_FALSE(m_ctrl->IsPortOpen(kPort));
  m_ctrl->SetBaudRate(19200);
  EXPECT_EQ(m_ctrl->Properties().BaudRate, 19200);
  m_ctrl.reset();
  EXPECT_EQ(portapi::IsClaimed("probe", kPort), 0);
}

// A loaded PortNo outside 1..256 reaches no port, also one its low 16 bits would name.
TEST_F(ControlOnSim, LoadedPortNumberOutsideTheRangeReachesNoPort) {
  JsonPropertyBag bag;
  m_ctrl->Save(bag);
  for (const int32_t loaded : {65536 + kPort, -65536 + kPort, 0, 257}) {
    SCOPED_TRACE(loaded);
    bag.WriteLong("PortNo", loaded);
    m_ctrl->Load(bag);
    ASSERT_EQ(m_ctrl->Properties().PortNo, loaded);  // the exchange does not check it
    EXPECT_EQ(m_ctrl->lvoOpenPort(), 100);
    EXPECT_EQ(m_ctrl->lvoClosePort(), 100);
    EXPECT_EQ(m_ctrl->ReadCommStatus(), "???");
    EXPECT_EQ(portapi::IsClaimed("probe", kPort), 0);
  }
}

}  // namespace
}  // namespace linvo::control
