#include "platform/deadline.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace linvo::platform {
namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Deadline Deadline::After(int timeoutMs) {
  return timeoutMs < 0 ? Never() : Deadline(NowNs() + int64_t{timeoutMs} * 1'000'000);
}

Deadline Deadline::Later(int timeoutMs) const {
  return IsNever() ? Never() : Deadline(m_ns + int64_t{std::max(timeoutMs, 0)} * 1'000'000);
}

Deadline Deadline::Earlier(Deadline a, Deadline b) {
  if (a.IsNever()) return b;
  if (b.IsNever()) return a;
  return Deadline(std::min(a.m_ns, b.m_ns));
}

bool Deadline::Passed() const { return !IsNever() && NowNs() >= m_ns; }

int64_t Deadline::RemainingNs() const {
  if (IsNever()) return -1;
  return std::max<int64_t>(m_ns - NowNs(), 0);
}

int Deadline::RemainingMs() const {
  if (IsNever()) return -1;
  const int64_t remaining = m_ns - NowNs();
  if (remaining <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(INT_MAX, (remaining + 999'999) / 1'000'000));
}

}  // namespace linvo::platform
