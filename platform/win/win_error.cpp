#include "platform/win/win_error.h"

#include <windows.h>

#include "platform/error_text.h"

namespace linvo::platform {

std::string Win32ErrorText(uint32_t code) {
  char buffer[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ')) --n;
  if (n == 0) return "Error " + std::to_string(code);
  return std::string(buffer, n);
}

std::string SystemErrorText(int code) { return Win32ErrorText(static_cast<uint32_t>(code)); }

std::string LastSystemErrorText() { return Win32ErrorText(GetLastError()); }

}  // namespace linvo::platform
