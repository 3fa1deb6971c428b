// Diagnostic records on Win32: files appended through the system's append access, and the
// debugger output through OutputDebugString.
#include <windows.h>

#include <string>

#include "platform/log_output.h"

namespace linvo::platform {

bool AppendRecord(const std::string& path, std::string_view record) {
  // FILE_APPEND_DATA alone: every write lands at the end, also with other writers. The reparse
  // point is opened itself (not followed) and then refused, as is anything but a disk file.
  HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  bool written = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                 (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  while (written && !record.empty()) {
    DWORD n = 0;
    const DWORD chunk = record.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(record.size());
    written = WriteFile(file, record.data(), chunk, &n, nullptr) && n > 0;
    record.remove_prefix(n);
  }
  CloseHandle(file);
  return written;
}

void WriteDebugOutput(std::string_view text) { OutputDebugStringA(std::string(text).c_str()); }

}  // namespace linvo::platform
