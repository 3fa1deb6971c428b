// Millisecond tick clock and local wall-clock time (Win32).
#include <windows.h>

#include "platform/clock.h"

namespace linvo::platform {

uint32_t TickCount() { return GetTickCount(); }

LocalTime NowLocal() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

}  // namespace linvo::platform
