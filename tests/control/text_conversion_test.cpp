#include "control/text_conversion.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

namespace linvo::control {
namespace {

using namespace std::string_literals;

struct ConvCase {
  long mode;
  std::string input;
  std::string expected;
};

// Names the case in test listings: the mode and the input, unprintable bytes as \xNN.
void PrintTo(const ConvCase& c, std::ostream* os) {
  *os << c.mode << ':';
  for (unsigned char byte : c.input) {
    if (byte > 0x20 && byte < 0x7F) {
      *os << byte;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      *os << escaped;
    }
  }
}

class CharAscHConvTest : public testing::TestWithParam<ConvCase> {};

TEST_P(CharAscHConvTest, ConvertsExactly) {
  const ConvCase& c = GetParam();
  EXPECT_EQ(CharAscHConv(c.mode, c.input), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CharAscHConvTest,
    testing::Values(ConvCase{0, "AB", "4142"}, ConvCase{0, "", ""},
                    ConvCase{0, "\x00\x7F\xA5\xFF"s, "007FA5FF"},
                    ConvCase{1, "41420D00", "AB\r\xA5"}, ConvCase{1, "7F", "\xA5"},
                    ConvCase{1, "414", "A"}, ConvCase{1, "4", ""},
                    // Kept controls; other controls, 0x7F and 0xA0 become 0xA5.
                    ConvCase{1, "090A0D1B", "\t\n\r\x1B"},
                    ConvCase{1, "011FA07EA1", "\xA5\xA5\xA5~\xA1"},
                    // A lower-case low digit spills into the high nibble: 4 | ('a' - 55) = 0x6A.
                    ConvCase{1, "4a", "j"},
                    // A lower-case high digit gives the same byte as its upper-case form.
                    ConvCase{1, "a1", "\xA1"}));

TEST(CharAscHConv, LongTextRoundTrips) {
  std::string text;
  for (int i = 0; i < 12000; ++i) text.push_back(static_cast<char>('A' + i % 26));
  const std::string hex = CharAscHConv(0, text);
  ASSERT_EQ(hex.size(), 24000u);
  EXPECT_EQ(CharAscHConv(1, hex), text);
}

TEST(DataSumCalc, SumsBytesModulo256) {
  EXPECT_EQ(DataSumCalc("abc"), "26");
  EXPECT_EQ(DataSumCalc(""), "00");
  EXPECT_EQ(DataSumCalc("\xFF\x01"), "00");
  EXPECT_EQ(DataSumCalc("\x0F"), "0F");
  EXPECT_EQ(DataSumCalc(std::string(1000, 'a')), "E8");  // 97000 mod 256 = 0xE8
}

class JISconvSJISTest : public testing::TestWithParam<ConvCase> {};

TEST_P(JISconvSJISTest, ConvertsExactly) {
  const ConvCase& c = GetParam();
  EXPECT_EQ(JISconvSJIS(c.mode, c.input), c.expected) << "mode " << c.mode << " " << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JISconvSJISTest,
    testing::Values(
        ConvCase{0, "3021", "889F"}, ConvCase{1, "889F", "3021"}, ConvCase{0, "203021", "20889F"},
        ConvCase{0, "3021203021", "889F20889F"}, ConvCase{0, "2160", "8180"},
        ConvCase{0, "7E7E", "EFFC"}, ConvCase{1, "E040", "5F21"}, ConvCase{1, "8140", "2121"},
        ConvCase{1, "81FC", "227E"},
        // Ending in a space, only spaces, nothing, a lone byte: "".
        ConvCase{0, "302120", ""}, ConvCase{0, "20", ""}, ConvCase{0, "", ""},
        ConvCase{0, "302", ""}, ConvCase{0, "302130", ""},
        // JIS bytes outside 0x21..0x7E.
        ConvCase{0, "3020", ""}, ConvCase{0, "7F21", ""}, ConvCase{0, "217F", ""},
        // Shift_JIS lead outside 0x81..0x9F / 0xE0..0xFC, trail outside 0x40..0x7E / 0x80..0xFC.
        ConvCase{1, "8040", ""}, ConvCase{1, "A040", ""}, ConvCase{1, "FD40", ""},
        ConvCase{1, "813F", ""}, ConvCase{1, "817F", ""}, ConvCase{1, "81FD", ""},
        // One invalid character spoils the whole text.
        ConvCase{1, "889F8140817F", ""}));

}  // namespace
}  // namespace linvo::control
