// Text conversion utilities of the control: hexadecimal text, check sums, JIS / Shift_JIS.
#pragma once

#include <string>
#include <string_view>

namespace linvo::control {

// lvoCharAscHConv. convMode 0: each byte of `text` as two upper-case hexadecimal digits.
// Nonzero: the bytes that the hexadecimal text stands for (a last odd character is ignored);
// control bytes other than tab, line feed, carriage return and escape, and 0x7F and 0xA0,
// become 0xA5, so the result never holds a zero byte.
std::string CharAscHConv(long convMode, std::string_view text);

// lvoDataSumCalc: the sum of the bytes of `text` modulo 256 as two upper-case hexadecimal digits.
std::string DataSumCalc(std::string_view text);

// lvoJISconvSJIS. convMode 0: JIS X 0208 to Shift_JIS; nonzero: Shift_JIS to JIS X 0208. Input
// and output are hexadecimal texts of the code bytes; a space (20) stands alone and is copied.
// Any invalid character, a text ending in a space, or no character at all gives "".
std::string JISconvSJIS(long convMode, std::string_view text);

}  // namespace linvo::control
