// The JSON property bag on files shaped against it: only what a property can be is kept under a
// name, and whatever was in the file, a control saves into the bag a text of the usual size.
#include "control/json_property_bag.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "control/linvo_ctrl.h"
#include "support/test_env.h"

namespace linvo::control {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string DeepArray(std::size_t depth) {
  return std::string(depth, '[') + "1" + std::string(depth, ']');
}

std::string DeepObject(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"a\":";
  return text + "1" + std::string(depth, '}');
}

// What a control with these properties saves into a fresh bag.
std::string SavedText(const CLinvoCtrl& control) {
  JsonPropertyBag bag;
  control.WriteProperties(bag);
  return bag.Text();
}

TEST(JsonPropertyBag, OnlyScalarsAndTheBytesFormAreKeptUnderAName) {
  test::ScopedWorkDir dir;
  struct Case {
    const char* name;
    std::string value;  // the JSON value under SendData, and under a name no property has
  };
  const std::vector<Case> cases = {
      {"100000 nested arrays", DeepArray(100000)},
      {"100000 nested objects", DeepObject(100000)},
      {"5000 nested objects", DeepObject(5000)},
      {"5000 nested arrays", DeepArray(5000)},
      {"an array", "[\"S1\"]"},
      {"an empty object", "{}"},
      {"null", "null"},
      {"bytes form with another member", R"({"bytes": "5331", "more": 1})"},
      {"bytes form nested", R"({"bytes": {"bytes": "5331"}})"},
      {"bytes form of a number", R"({"bytes": 5331})"},
      {"bytes form holding a deep value", "{\"bytes\": " + DeepArray(100000) + "}"},
  };
  CLinvoCtrl reference;
  reference.SetPortNo(5);
  const std::string usual = SavedText(reference);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JsonPropertyBag bag;
    std::string error;
    ASSERT_TRUE(bag.LoadText(
        "{\"SendData\": " + c.value + ", \"PortNo\": 5, \"Extra\": " + c.value + ", \"Kept\": 7}",
        &error))
        << error;
    EXPECT_EQ(bag.ReadText("SendData", "default"), "default");
    EXPECT_EQ(bag.ReadText("Extra", "default"), "default");
    EXPECT_EQ(bag.ReadLong("PortNo", 0), 5) << "the names around it still load";
    EXPECT_EQ(bag.ReadLong("Kept", 0), 7);

    CLinvoCtrl control;
    control.Load(bag);
    EXPECT_EQ(control.Properties().SendData, "");
    control.Save(bag, /*clearModified=*/false);
    const std::string saved = bag.Text();
    // The usual save and the one name no property has that held a scalar.
    EXPECT_EQ(saved.size(), usual.size() + std::string(",\n  \"Kept\": 7").size());
    EXPECT_THAT(saved, Not(HasSubstr("Extra")));
    JsonPropertyBag again;
    ASSERT_TRUE(again.LoadText(saved, &error)) << error;
    EXPECT_EQ(again.Text(), saved);
  }
}

// The bytes form reads back as its bytes, in either case of hexadecimal digits; a text that is
// not UTF-8 is written in that form; a later duplicate name wins, in the first one's place.
TEST(JsonPropertyBag, TextsAndDuplicateNames) {
  JsonPropertyBag bag;
  std::string error;
  ASSERT_TRUE(bag.LoadText(R"({"A": {"bytes": "41ff"}, "B": "x", "C": 1, "B": {"bytes": "4"},
                               "C": 2, "D": {"bytes": "zz"}})",
                           &error))
      << error;
  EXPECT_EQ(bag.ReadText("A", ""), "A\xff");
  EXPECT_EQ(bag.ReadText("B", "default"), "default");
  EXPECT_EQ(bag.ReadLong("C", 0), 2);
  EXPECT_EQ(bag.ReadText("D", "default"), "default");
  bag.WriteText("E", "\x82\xa0");
  bag.WriteText("F", "\xc3\xa9");
  EXPECT_EQ(bag.Text(),
            "{\n  \"A\": {\n    \"bytes\": \"41ff\"\n  },\n  \"C\": 2,\n"
            "  \"E\": {\n    \"bytes\": \"82A0\"\n  },\n  \"F\": \"\xc3\xa9\"\n}\n");
}

// A directory is refused by name (FIFOs and devices: json_property_bag_posix_test.cpp).
TEST(JsonPropertyBag, LoadRefusesADirectory) {
  test::ScopedWorkDir dir;
  JsonPropertyBag bag;
  bag.WriteLong("PortNo", 4);
  std::string error;
  EXPECT_FALSE(bag.LoadFile(dir.Path(), &error));
  EXPECT_EQ(error, dir.Path() + ": is a directory");
  EXPECT_EQ(bag.ReadLong("PortNo", 0), 4);
}

}  // namespace
}  // namespace linvo::control
