// The binary property record: its bytes, what it refuses to load or to hold, and a control's state
// through it.
#include "control/stream_property_bag.h"

#include <gmock/gmock.h>

#include "control/linvo_ctrl.h"
#include "control/member_table.h"
#include "persisted_values.h"
#include "support/test_env.h"

namespace linvo::control {
namespace {

using ::testing::HasSubstr;
using Bag = StreamPropertyBag;

// `bytes` little-endian bytes of the value.
std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string Header(uint32_t payload, uint16_t major = 1, uint16_t minor = 0) {
  return "LVPB" + Le(major, 2) + Le(minor, 2) + Le(payload, 4);
}

// The payload under a header that announces its length.
std::string Rec(const std::string& payload) {
  return Header(static_cast<uint32_t>(payload.size())) + payload;
}

std::string Entry(uint8_t kind, const std::string& name, const std::string& value) {
  return std::string(1, static_cast<char>(kind)) + static_cast<char>(name.size()) + name + value;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(StreamPropertyBag, EveryKindRoundTripsThroughTheRecordsBytes) {
  const std::string text("\0\xff\x82z", 4);  // a zero byte, not UTF-8
  Bag bag;
  bag.WriteLong("n", 5);
  bag.WriteBool("b", 5);
  bag.WriteText("t", text);
  bag.WriteLong("n", -2);  // replaced in its place
  const std::vector<uint8_t> record = bag.Record();
  EXPECT_EQ(record, Bytes(Rec(Le(3, 4) + Entry(1, "n", "\xfe\xff\xff\xff") + Entry(2, "b", "\x01") +
                              Entry(3, "t", Le(4, 4) + text))));

  Bag loaded;
  loaded.WriteLong("gone", 1);
  std::string error;
  ASSERT_TRUE(loaded.Load(record, &error)) << error;
  EXPECT_EQ(loaded.Record(), record);
  EXPECT_EQ(loaded.ReadLong("n", 0), -2);
  EXPECT_EQ(loaded.ReadBool("b", 7), TRUE);
  EXPECT_EQ(loaded.ReadText("t", ""), text);
  EXPECT_EQ(loaded.ReadLong("gone", 9), 9) << "a load replaces the contents";
  // Another kind reads as the default.
  EXPECT_EQ(loaded.ReadText("n", "d"), "d");
  EXPECT_EQ(loaded.ReadLong("b", 9), 9);
  EXPECT_EQ(loaded.ReadBool("t", 7), 7);

  // A later minor version loads and is written back as this one.
  const std::string newer = Header(4, 1, 9) + Le(0, 4);
  ASSERT_TRUE(loaded.Load(Bytes(newer), &error)) << error;
  EXPECT_EQ(loaded.Record(), Bytes(Rec(Le(0, 4))));
}

TEST(StreamPropertyBag, WritesTheRecordCannotHoldAreIgnored) {
  Bag bag;
  const std::string longestName(255, 'n');
  const std::string longestText(Bag::kMaxText, '\xff');
  bag.WriteBool(longestName, TRUE);
  bag.WriteText("T", longestText);
  ASSERT_EQ(bag.ReadBool(longestName, FALSE), TRUE);
  ASSERT_EQ(bag.ReadText("T", ""), longestText);
  const std::vector<uint8_t> before = bag.Record();
  bag.WriteLong("", 1);
  bag.WriteLong(longestName + "n", 1);
  bag.WriteText("T", longestText + "a");
  EXPECT_EQ(bag.Record(), before);
  EXPECT_EQ(bag.ReadText("T", ""), longestText);

  // 15 texts of kMaxText bytes fit in one record, a 16th does not; smaller writes still do.
  Bag full;
  for (int i = 0; i < 16; ++i) full.WriteText("t" + std::to_string(i), longestText);
  full.WriteLong("small", 3);
  EXPECT_EQ(full.ReadText("t14", ""), longestText);
  EXPECT_EQ(full.ReadText("t15", "none"), "none");
  EXPECT_EQ(full.ReadLong("small", 0), 3);
  Bag reread;
  std::string error;
  EXPECT_TRUE(reread.Load(full.Record(), &error)) << error;
}

TEST(StreamPropertyBag, HostileRecordsAreRefusedAndLeaveTheBagAsItWas) {
  const std::string aLong = Entry(1, "n", Le(5, 4));  // 7 bytes, at byte 16 as entry 0
  struct Case {
    const char* name;
    std::string record;
    const char* error;  // part of the error text
  };
  const std::vector<Case> cases = {
      {"JSON text", R"({"PortNo": 3})", "not a linvo property record"},
      {"empty", "", "header of 0 bytes"},
      {"major version 2", Header(4, 2) + Le(0, 4), "version 2.0 cannot be read"},
      {"header announces more", Header(8) + Le(0, 4), "a record of 20 bytes, but it has 16"},
      {"bytes past the record", Rec(Le(0, 4)) + "x", "a record of 16 bytes, but it has 17"},
      {"larger than the limit", Header(Bag::kMaxBytes), "larger than 1048576"},
      {"no entry count", Rec(""), "before its entry count"},
      {"count of 4 billion in 20 bytes", Rec(Le(0xffffffff, 4) + Entry(2, "b", "\x01")),
       "ends after 1 of the 4294967295 entries"},
      {"count below the entries", Rec(Le(0, 4) + aLong), "7 bytes follow the last of the 0"},
      {"kind 0", Rec(Le(1, 4) + Entry(0, "n", Le(5, 4))), "entry 0 at byte 16: unknown kind 0"},
      {"kind 4", Rec(Le(2, 4) + aLong + Entry(4, "x", "")), "entry 1 at byte 23: unknown kind 4"},
      {"empty name", Rec(Le(1, 4) + Entry(1, "", Le(5, 4))), "entry 0 at byte 16: empty name"},
      {"name cut", Rec(Le(1, 4) + Entry(1, "abc", "").substr(0, 4)), "ends within the name"},
      {"long cut", Rec(Le(1, 4) + aLong.substr(0, 5)), "ends within the long value"},
      {"bool missing", Rec(Le(1, 4) + Entry(2, "b", "")), "ends before the bool value"},
      {"bool of 2", Rec(Le(2, 4) + aLong + Entry(2, "b", "\x02")),
       "entry 1 at byte 23: bool value 2 is neither 0 nor 1"},
      {"text length cut", Rec(Le(1, 4) + Entry(3, "t", "\x02")), "ends within the text length"},
      {"text cut", Rec(Le(1, 4) + Entry(3, "t", Le(3, 4) + "ab")), "within the text of 3 bytes"},
      {"text too long", Rec(Le(1, 4) + Entry(3, "t", Le(70000, 4))),
       "text of 70000 bytes is longer than 65536"},
      {"name twice", Rec(Le(2, 4) + aLong + Entry(2, "n", "\x01")),
       "entry 1 at byte 23: the name of an earlier entry again"},
  };
  const auto expectRefused = [](const std::string& record, const char* what) {
    Bag bag;
    bag.WriteLong("Kept", 42);
    bag.WriteText("T", "x");
    const std::vector<uint8_t> before = bag.Record();
    std::string error;
    EXPECT_FALSE(bag.Load(Bytes(record), &error));
    EXPECT_THAT(error, HasSubstr(what));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(bag.Record(), before);
    EXPECT_EQ(bag.ReadLong("Kept", 0), 42);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectRefused(c.record, c.error);
  }
  // Every cut of a good payload, under a header that agrees with it.
  const std::string payload =
      Le(3, 4) + aLong + Entry(2, "b", "\x01") + Entry(3, "t", Le(1, 4) + "z");
  for (std::size_t cut = 0; cut < payload.size(); ++cut) {
    SCOPED_TRACE("payload cut to " + std::to_string(cut) + " bytes");
    expectRefused(Rec(payload.substr(0, cut)), "");
  }
}

TEST(StreamPropertyBag, RecordBytesReadsTheHeader) {
  std::string error;
  EXPECT_EQ(Bag::RecordBytes(Bytes(Header(24)), &error), 36u) << error;
  EXPECT_EQ(Bag::RecordBytes(Bytes(Header(24, 1, 9)), &error), 36u) << error;
  EXPECT_EQ(Bag::RecordBytes(Bytes(Rec(Le(0, 4))), &error), 16u) << "only the header is read";
  EXPECT_EQ(Bag::RecordBytes(Bytes(Header(Bag::kMaxBytes - 12)), &error), Bag::kMaxBytes);
  const std::vector<std::pair<std::string, const char*>> refused = {
      {Header(24).substr(0, 11), "a header of 11 bytes is shorter than 12"},
      {"LVPA" + Header(24).substr(4), "not a linvo property record"},
      {Header(24, 2, 3), "version 2.3 cannot be read"},
      {Header(Bag::kMaxBytes - 11), "a record of 1048577 bytes is larger than 1048576"},
      {Header(0xffffffff), "a record of 4294967307 bytes"},
  };
  for (const auto& [header, what] : refused) {
    SCOPED_TRACE(what);
    error.clear();
    EXPECT_FALSE(Bag::RecordBytes(Bytes(header), &error));
    EXPECT_THAT(error, HasSubstr(what));
  }
}

TEST(StreamPropertyBag, ControlStateSurvivesTheRecordAndTheSettingsFileWins) {
  test::ScopedWorkDir dir;
  Bag source;
  for (const MemberInfo* m : ExchangeOrder()) Write(source, *m, Distinct(*m));
  CLinvoCtrl first;  // writes the default settings file
  first.Load(source);
  Bag saved;
  first.Save(saved);
  Bag reread;
  std::string error;
  ASSERT_TRUE(reread.Load(saved.Record(), &error)) << error;
  EXPECT_EQ(reread.ReadLong("_Version", 0), 0x10000);
  CLinvoCtrl second;
  second.Load(reread);

  int persisted = 0;
  for (const MemberInfo* m : ExchangeOrder()) {
    SCOPED_TRACE(m->name);
    if (m->settings == nullptr) {
      EXPECT_EQ(FieldOf(second, *m), Distinct(*m));
      ++persisted;
    } else {
      EXPECT_NE(FieldOf(second, *m), Distinct(*m)) << "the settings file's value";
    }
  }
  EXPECT_EQ(persisted, 33);
}

}  // namespace
}  // namespace linvo::control
