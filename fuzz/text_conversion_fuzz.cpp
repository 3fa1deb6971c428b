// The control's text utilities on any bytes, with the properties that hold for every input:
// hexadecimal text decodes back to the bytes it encodes (control bytes read as 0xA5), the sum is
// the byte sum, and a JIS text that converts to Shift_JIS converts back to itself.
#include <string>
#include <string_view>

#include "control/text_conversion.h"
#include "fuzz/harness.h"

using linvo::control::CharAscHConv;
using linvo::control::DataSumCalc;
using linvo::control::JISconvSJIS;
using linvo::fuzz::Check;

namespace {

// What hexadecimal-to-characters makes of a byte.
char Shown(unsigned char b) {
  const bool control = b < 0x20 && b != 0x09 && b != 0x0A && b != 0x0D && b != 0x1B;
  return control || b == 0x7F || b == 0xA0 ? '\xA5' : static_cast<char>(b);
}

bool IsUpperHex(std::string_view s) {
  return s.find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string hex = CharAscHConv(0, text);
  Check(hex.size() == 2 * size && IsUpperHex(hex), "hexadecimal text of the bytes");
  const std::string back = CharAscHConv(1, hex);
  Check(back.size() == size, "decoded length");
  for (size_t i = 0; i < size; ++i) {
    Check(back[i] == Shown(data[i]), "decoded byte differs from the encoded one");
  }
  const std::string decoded = CharAscHConv(1, text);
  Check(decoded.size() == size / 2, "decoded length of arbitrary text");
  Check(decoded.find('\0') == std::string::npos, "decoded text holds a zero byte");

  unsigned sum = 0;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  const std::string expected = CharAscHConv(0, std::string(1, static_cast<char>(sum & 0xFF)));
  Check(DataSumCalc(text) == expected, "data sum");

  for (long mode : {0L, 1L}) {
    const std::string converted = JISconvSJIS(mode, hex);
    Check(converted.empty() || (converted.size() == hex.size() && IsUpperHex(converted)),
          "JIS conversion result shape");
    if (mode == 0 && !converted.empty()) {
      Check(JISconvSJIS(1, converted) == hex, "JIS -> Shift_JIS -> JIS is not the identity");
    }
    JISconvSJIS(mode, text);  // any text: no crash
  }
  return 0;
}
