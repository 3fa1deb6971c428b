// Millisecond tick clock and local wall-clock time.
#pragma once

#include <chrono>
#include <cstdint>

namespace linvo::platform {

// Milliseconds from the monotonic clock, truncated to 32 bits. Differences are taken as
// unsigned (uint32_t(now - then)), so a wrap-around is harmless.
uint32_t TickCount();

struct LocalTime {
  int year;         // e.g. 2024
  int month;        // 1..12
  int day;          // 1..31
  int hour;         // 0..23
  int minute;       // 0..59
  int second;       // 0..60
  int millisecond;  // 0..999
};

// The current local time with milliseconds, from one clock reading.
LocalTime NowLocal();
// A wall-clock time as local time, with milliseconds.
LocalTime LocalTimeAt(std::chrono::system_clock::time_point time);

}  // namespace linvo::platform
