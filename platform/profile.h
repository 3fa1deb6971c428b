// INI ("profile") files with the behaviour of the Windows private-profile functions.
//
// Sections and keys compare case-insensitively; leading and trailing blanks around keys and
// values are ignored; a missing file, section or key yields the caller's default. Writes change
// exactly one key and keep every other line of the file; they replace the file atomically
// (temporary file in the same directory, fsync, rename) under an advisory lock, so a crash or a
// concurrent writer never leaves a torn file. Files are never opened through a symbolic link.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace linvo::platform {

// The leading decimal integer of the value (optional sign, as atoi), or defaultValue when the
// key is missing. A value with no leading digits reads as 0.
int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                   const std::string& file);

// The value, or defaultValue when the key is missing, cut to bufferSize - 1 bytes as the
// Windows call cuts it into a buffer of that size (bufferSize 0 gives "").
std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              std::size_t bufferSize);

// The keys of the section with their values, in file order (the first of a repeated key).
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& section,
                                                                    const std::string& file);

// Whether the reads above can use the file: absent (they give the defaults), readable, or present
// but unusable, with the reason ("is a symbolic link", "is a directory", "Permission denied"...).
enum class ProfileFileState { kAbsent, kReadable, kUnusable };
ProfileFileState ProbeProfileFile(const std::string& file, std::string* reason);

// Sets key=value in the section, creating the file and the section when missing. Returns false
// when the file cannot be written.
bool WriteProfileValue(const std::string& section, const std::string& key, const std::string& value,
                       const std::string& file);

}  // namespace linvo::platform
