// The Shift_JIS arithmetic against the C library's own tables (glibc's iconv; POSIX only).
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "control/text_conversion.h"

namespace linvo::control {
namespace {

// Converts one two-byte character with iconv; nullopt when iconv has no mapping for it or
// gives something other than one two-byte character.
std::optional<std::pair<uint8_t, uint8_t>> IconvPair(iconv_t cd, uint8_t b1, uint8_t b2) {
  char in[2] = {static_cast<char>(b1), static_cast<char>(b2)};
  char out[8];
  char* inPtr = in;
  char* outPtr = out;
  size_t inLeft = sizeof in;
  size_t outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 ||
      outPtr - out != 2) {
    return std::nullopt;
  }
  return std::pair{static_cast<uint8_t>(out[0]), static_cast<uint8_t>(out[1])};
}

std::string Hex(int b1, int b2) {
  char text[5];
  std::snprintf(text, sizeof text, "%02X%02X", b1, b2);
  return text;
}

// The arithmetic against glibc's tables: EUC-JP (JIS X 0208 with both bytes | 0x80) and
// SHIFT_JIS, through iconv in both directions. Every character that iconv converts must agree.
TEST(JISconvSJIS, AgreesWithIconvOverJisX0208) {
  iconv_t eucToSjis = iconv_open("SHIFT_JIS", "EUC-JP");
  iconv_t sjisToEuc = iconv_open("EUC-JP", "SHIFT_JIS");
  ASSERT_NE(eucToSjis, reinterpret_cast<iconv_t>(-1)) << "iconv lacks EUC-JP / SHIFT_JIS";
  ASSERT_NE(sjisToEuc, reinterpret_cast<iconv_t>(-1)) << "iconv lacks EUC-JP / SHIFT_JIS";

  int fromJis = 0;
  for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
    for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
      const auto sjis = IconvPair(eucToSjis, j1 | 0x80, j2 | 0x80);
      if (!sjis) continue;
      ++fromJis;
      const std::string jisHex = Hex(j1, j2);
      const std::string sjisHex = Hex(sjis->first, sjis->second);
      EXPECT_EQ(JISconvSJIS(0, jisHex), sjisHex) << "JIS " << jisHex;
      EXPECT_EQ(JISconvSJIS(1, sjisHex), jisHex) << "Shift_JIS " << sjisHex;
    }
  }

  int fromSjis = 0;
  for (int s1 = 0x81; s1 <= 0xEF; ++s1) {
    if (s1 > 0x9F && s1 < 0xE0) continue;
    for (int s2 = 0x40; s2 <= 0xFC; ++s2) {
      const auto euc = IconvPair(sjisToEuc, s1, s2);
      if (!euc || euc->first < 0xA1 || euc->second < 0xA1) continue;  // not JIS X 0208
      ++fromSjis;
      EXPECT_EQ(JISconvSJIS(1, Hex(s1, s2)), Hex(euc->first & 0x7F, euc->second & 0x7F))
          << "Shift_JIS " << Hex(s1, s2);
    }
  }
  iconv_close(eucToSjis);
  iconv_close(sjisToEuc);
  // JIS X 0208 defines 6879 characters; a table that converts none would prove nothing.
  EXPECT_EQ(fromJis, 6879);
  EXPECT_EQ(fromSjis, 6879);
}

}  // namespace
}  // namespace linvo::control
