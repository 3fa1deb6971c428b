// The outcome of a module call: LVO_OK, or an error code of linvo/linvo.h with a text that says
// what failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "linvo/linvo.h"

namespace linvo::module {

struct Status {
  int32_t code = LVO_OK;
  std::string message;

  bool ok() const { return code == LVO_OK; }
};

inline Status Fail(int32_t code, std::string message) { return {code, std::move(message)}; }

// Caller text as an error message quotes it: between `quote` characters, at most
// kQuotedTextLimit bytes of it followed by "..." when it is longer, every byte outside printable
// ASCII (zero bytes included) as \xNN and the backslash and the quote character escaped, so that
// a message stays short, printable and unambiguous whatever the caller passed.
inline constexpr std::size_t kQuotedTextLimit = 64;

inline std::string Quoted(std::string_view text, char quote = '\'') {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string_view shown = text.substr(0, kQuotedTextLimit);
  std::string out(1, quote);
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == quote) {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  if (shown.size() < text.size()) out += "...";
  out += quote;
  return out;
}

}  // namespace linvo::module
