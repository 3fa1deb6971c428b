// Names compared as the system compares them: ASCII letters without regard to case (member names,
// ProgIDs, INI sections and keys); other bytes as they are.
#pragma once

#include <algorithm>
#include <string_view>

namespace linvo::platform {

inline constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

}  // namespace linvo::platform
