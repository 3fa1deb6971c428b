// INI files through the system's private-profile functions.
#include <windows.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "platform/profile.h"
#include "platform/win/win_error.h"

namespace linvo::platform {
namespace {

// The longest value the reads take in: the profile functions handle lines up to this.
constexpr std::size_t kLongestValue = 65535;

}  // namespace

ProfileFileState ProbeProfileFile(const std::string& file, std::string* reason) {
  const auto unusable = [reason](std::string why) {
    if (reason != nullptr) *reason = std::move(why);
    return ProfileFileState::kUnusable;
  };
  const DWORD attributes = GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return ProfileFileState::kAbsent;
    }
    return unusable("cannot be read: " + Win32ErrorText(error));
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return unusable("is a directory");
  HANDLE handle = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return unusable("cannot be read: " + Win32ErrorText(GetLastError()));
  }
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  if (type != FILE_TYPE_DISK) return unusable("is not a regular file");
  return ProfileFileState::kReadable;
}

int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                   const std::string& file) {
  return static_cast<int>(
      GetPrivateProfileIntA(section.c_str(), key.c_str(), defaultValue, file.c_str()));
}

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  if (bufferSize > kLongestValue + 1) bufferSize = kLongestValue + 1;
  std::vector<char> buffer(bufferSize);
  const DWORD n =
      GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(),
                               static_cast<DWORD>(bufferSize), file.c_str());
  return std::string(buffer.data(), n);
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& section,
                                                                    const std::string& file) {
  // The section as "key=value\0...\0\0"; a too-small buffer is cut (size - 2 returned): grow.
  std::vector<char> buffer(4096);
  DWORD n = 0;
  for (;;) {
    n = GetPrivateProfileSectionA(section.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                  file.c_str());
    if (n + 2 < buffer.size() || buffer.size() >= (1u << 24)) break;
    buffer.resize(buffer.size() * 4);
  }
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::size_t at = 0; at < n;) {
    const std::string line(buffer.data() + at);
    at += line.size() + 1;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    std::string key = line.substr(0, eq);
    bool repeated = false;
    for (const auto& entry : entries)
      repeated = repeated || lstrcmpiA(entry.first.c_str(), key.c_str()) == 0;
    if (!repeated) entries.emplace_back(std::move(key), line.substr(eq + 1));
  }
  return entries;
}

bool WriteProfileValue(const std::string& section, const std::string& key, const std::string& value,
                       const std::string& file) {
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str()) !=
         FALSE;
}

}  // namespace linvo::platform
