// Millisecond tick clock and local wall-clock time (POSIX).
#include "platform/clock.h"

#include <ctime>

namespace linvo::platform {

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Computed in 64 bits, then truncated: the 32-bit value wraps about every 49.7 days, and
  // callers take differences as unsigned.
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

LocalTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  const time_t seconds = ts.tv_sec;
  localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(ts.tv_nsec / 1000000)};
}

LocalTime LocalTimeAt(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const auto seconds = static_cast<time_t>(ms / 1000);
  tm parts{};
  localtime_r(&seconds, &parts);
  return LocalTime{
      parts.tm_year + 1900, parts.tm_mon + 1,           parts.tm_mday, parts.tm_hour, parts.tm_min,
      parts.tm_sec,         static_cast<int>(ms % 1000)};
}

}  // namespace linvo::platform
