// Whole-file reads and atomic replacement on Win32 (MoveFileEx with MOVEFILE_REPLACE_EXISTING
// after FlushFileBuffers).
#include <windows.h>

#include "platform/file_io.h"
#include "platform/win/win_error.h"

namespace linvo::platform {
namespace {

std::string Failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + Win32ErrorText(GetLastError());
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                         std::string* error) {
  const auto fail = [error](std::string message) -> std::optional<std::string> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  // A directory cannot be opened as a file; say so rather than "Access is denied.".
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(path + ": is a directory");
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(Failure("cannot open", path));
  // Only disk files: a pipe, a console or a serial port could keep a read waiting for ever.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return fail(path + ": is not a regular file");
  }
  std::string text;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      if (error) *error = Failure("cannot read", path);
      ok = false;
      break;
    }
    if (n == 0) break;
    text.append(buffer, n);
    if (text.size() > maxBytes) {
      if (error) *error = path + ": larger than " + std::to_string(maxBytes) + " bytes";
      ok = false;
      break;
    }
  }
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return text;
}

bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string* error) {
  const std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(GetCurrentThreadId()) + ".tmp";
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = Failure("cannot create a temporary file for", path);
    return false;
  }
  bool ok = true;
  while (ok && !bytes.empty()) {
    DWORD n = 0;
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    ok = WriteFile(file, bytes.data(), chunk, &n, nullptr) && n > 0;
    bytes.remove_prefix(n);
  }
  ok = ok && FlushFileBuffers(file);
  DWORD failure = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (ok && !MoveFileExA(temp.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    failure = GetLastError();
  }
  if (!ok) {
    DeleteFileA(temp.c_str());
    SetLastError(failure);
    if (error) *error = Failure("cannot write", path);
  }
  return ok;
}

}  // namespace linvo::platform
