// The one deadline type: a point on the monotonic clock that a wait must not pass.
#pragma once

#include <cstdint>

namespace linvo::platform {

class Deadline {
 public:
  // A deadline that never comes.
  static Deadline Never() { return Deadline(-1); }
  // timeoutMs from now; a negative time-out gives Never().
  static Deadline After(int timeoutMs);
  // The sooner of the two.
  static Deadline Earlier(Deadline a, Deadline b);

  // The moment timeoutMs after this one (Never() stays Never()).
  Deadline Later(int timeoutMs) const;

  bool IsNever() const { return m_ns < 0; }
  bool Passed() const;
  // Milliseconds left, rounded up so that a wait of that length never ends before the deadline;
  // 0 once it has passed; -1 for Never() (the "no limit" of poll and of every wait here).
  int RemainingMs() const;
  // Nanoseconds left: 0 once it has passed; -1 for Never().
  int64_t RemainingNs() const;

 private:
  explicit Deadline(int64_t ns) : m_ns(ns) {}
  int64_t m_ns;  // monotonic nanoseconds; negative: never
};

}  // namespace linvo::platform
