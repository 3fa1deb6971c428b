#include "control/text_conversion.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// Buffers are sized to the input, so texts of any length convert in full: there are no fixed
// working buffers (5120 or 512 bytes) to cut them short. The input is the whole byte string,
// embedded zero bytes included.

namespace linvo::control {
namespace {

// Value of one hexadecimal digit as the conversions read it: '0'..'9' give 0..9, every other
// character c gives (c - 55) as an 8-bit quantity, so 'A'..'F' give 10..15. Lower-case letters
// give values above 15 on purpose; see HexByte.
uint8_t HexDigitValue(char c) {
  const auto byte = static_cast<uint8_t>(c);
  if (byte >= '0' && byte <= '9') return static_cast<uint8_t>(byte - '0');
  return static_cast<uint8_t>(byte - 55);
}

// Byte from a (high, low) digit pair: ((high * 16) mod 256) OR low. A lower-case letter in the
// low position spills into the high nibble ("4a" gives 0x6A, not 0x4A); callers rely on that.
uint8_t HexByte(char high, char low) {
  return static_cast<uint8_t>((HexDigitValue(high) << 4) | HexDigitValue(low));
}

void AppendHex(std::string& out, uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) AppendHex(out, byte);
  return out;
}

// Bytes that a hexadecimal text stands for; a last odd character is ignored.
std::vector<uint8_t> ParseHex(std::string_view text) {
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = HexByte(text[2 * i], text[2 * i + 1]);
  return bytes;
}

using CodePair = std::pair<uint8_t, uint8_t>;

// Published JIS X 0208 to Shift_JIS arithmetic; both bytes must lie in 0x21..0x7E.
std::optional<CodePair> JisToSjis(uint8_t j1, uint8_t j2) {
  if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E) return std::nullopt;
  int s1 = ((j1 - 0x21) >> 1) + 0x81;
  if (s1 > 0x9F) s1 += 0x40;
  int s2;
  if (j1 & 1) {
    s2 = j2 + (j2 > 0x5F ? 0x20 : 0x1F);
  } else {
    s2 = j2 + 0x7E;
  }
  return CodePair{static_cast<uint8_t>(s1), static_cast<uint8_t>(s2)};
}

// Published Shift_JIS to JIS X 0208 arithmetic. The lead byte ranges include the user-defined
// area 0xF0..0xFC, which maps past row 94 as the arithmetic gives it.
std::optional<CodePair> SjisToJis(uint8_t s1, uint8_t s2) {
  const bool leadOk = (s1 >= 0x81 && s1 <= 0x9F) || (s1 >= 0xE0 && s1 <= 0xFC);
  const bool trailOk = (s2 >= 0x40 && s2 <= 0x7E) || (s2 >= 0x80 && s2 <= 0xFC);
  if (!leadOk || !trailOk) return std::nullopt;
  const int row = s1 <= 0x9F ? s1 - 0x81 : s1 - 0xC1;
  const int j1 = 2 * row + (s2 < 0x9F ? 0x21 : 0x22);
  int j2;
  if (s2 <= 0x7E) {
    j2 = s2 - 0x1F;
  } else if (s2 <= 0x9E) {
    j2 = s2 - 0x20;
  } else {
    j2 = s2 - 0x7E;
  }
  return CodePair{static_cast<uint8_t>(j1), static_cast<uint8_t>(j2)};
}

}  // namespace

std::string CharAscHConv(long convMode, std::string_view text) {
  std::string out;
  if (convMode == 0) {
    out.reserve(text.size() * 2);
    for (char c : text) AppendHex(out, static_cast<uint8_t>(c));
    return out;
  }
  static constexpr uint8_t kReplacement = 0xA5;  // half-width katakana middle dot
  const std::vector<uint8_t> bytes = ParseHex(text);
  out.reserve(bytes.size());
  for (uint8_t byte : bytes) {
    const bool keptControl = byte == 0x09 || byte == 0x0A || byte == 0x0D || byte == 0x1B;
    if ((byte < 0x20 && !keptControl) || byte == 0x7F || byte == 0xA0) byte = kReplacement;
    out.push_back(static_cast<char>(byte));
  }
  return out;
}

std::string DataSumCalc(std::string_view text) {
  uint8_t sum = 0;
  for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  std::string out;
  AppendHex(out, sum);
  return out;
}

std::string JISconvSJIS(long convMode, std::string_view text) {
  const std::vector<uint8_t> in = ParseHex(text);
  const size_t n = in.size();
  std::vector<uint8_t> out(n);
  // The walk succeeds only when it ends right after a converted character: an empty input, or
  // one that ends in a space, gives "".
  bool endsWithCharacter = false;
  size_t i = 0;
  while (i < n) {
    if (in[i] == 0x20) {
      out[i++] = 0x20;
      endsWithCharacter = false;
      continue;
    }
    // A second byte beyond the input reads as 0, which no conversion accepts.
    const uint8_t second = i + 1 < n ? in[i + 1] : 0;
    const std::optional<CodePair> converted =
        convMode == 0 ? JisToSjis(in[i], second) : SjisToJis(in[i], second);
    if (!converted) return "";
    out[i] = converted->first;
    out[i + 1] = converted->second;  // i + 1 < n: a missing second byte fails above
    i += 2;
    endsWithCharacter = true;
  }
  return endsWithCharacter ? ToHex(out) : "";
}

}  // namespace linvo::control
