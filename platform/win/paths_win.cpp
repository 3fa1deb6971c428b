// Paths on Win32: backslash paths are native, the temporary directory is GetTempPath's (per-user
// on Windows), the desktop is the shell's folder.
#include <shlobj.h>
#include <windows.h>

#include "platform/paths.h"

namespace linvo::platform {

std::string NativePath(std::string_view path) { return std::string(path); }

std::optional<std::string> TempDirectory() {
  char buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length > sizeof buffer) return std::nullopt;
  std::string dir(buffer, length);
  if (dir.back() != '\\' && dir.back() != '/') dir.push_back('\\');
  return dir;
}

std::optional<std::string> DesktopDirectory() {
  char buffer[MAX_PATH];
  if (FAILED(
          SHGetFolderPathA(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return std::nullopt;
  }
  return std::string(buffer);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace linvo::platform
