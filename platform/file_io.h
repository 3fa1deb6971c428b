// Whole-file reads and atomic whole-file replacement.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace linvo::platform {

// The file's bytes; nothing when it cannot be opened or read, is not a regular file (a FIFO, a
// device, a directory: refused without waiting) or holds more than maxBytes, with *error (may
// be null) saying why ("cannot open <path>: <reason>", "cannot read <path>: <reason>", "<path>:
// is a directory", "<path>: is not a regular file", "<path>: larger than <maxBytes> bytes").
// A symbolic link is followed.
std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                         std::string* error);

// Replaces the file with the bytes atomically: a temporary file beside it is written, flushed to
// the disk and renamed over it, so a reader sees the old or the new file, never a torn one.
// False with *error (may be null) saying why ("cannot create a temporary file for <path>:
// <reason>", "cannot write <path>: <reason>").
bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string* error);

}  // namespace linvo::platform
