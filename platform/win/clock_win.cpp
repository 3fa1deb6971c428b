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

LocalTime LocalTimeAt(std::chrono::system_clock::time_point time) {
  // FILETIME counts 100 ns from 1601-01-01 (UTC); the system clock counts from 1970.
  constexpr int64_t kFrom1601To1970 = 116444736000000000;
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const auto ticks = static_cast<uint64_t>(ms * 10000 + kFrom1601To1970);
  FILETIME utcFile{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME t{};
  if (!FileTimeToSystemTime(&utcFile, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &t)) {
    t = utc;  // only an impossible time gets here
  }
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

}  // namespace linvo::platform
