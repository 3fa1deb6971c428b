#include "platform/deadline.h"
#include "platform/serial.h"

namespace linvo::platform {

// A tty reports modem-line changes only through TIOCMIWAIT, which blocks without a time-out
// and cannot be woken, so the lines are re-read at a short period while the caller waits.
WaitOutcome SerialLine::WaitModemLines(uint32_t bits, int timeoutMs, const WakeEvent* wake) {
  constexpr int kRecheckMs = 5;
  const Deadline deadline = Deadline::After(timeoutMs);
  for (;;) {
    uint32_t status = 0;
    if (const LineResult read = GetModemStatus(&status); !read) {
      return {WaitResult::kFailed, read.error};
    }
    if ((status & bits) == bits) return WaitResult::kReady;
    const int left = deadline.RemainingMs();
    if (left == 0) return WaitResult::kTimeout;
    if (WaitForWake(wake, left < 0 || left > kRecheckMs ? kRecheckMs : left)) {
      return WaitResult::kWoken;
    }
  }
}

}  // namespace linvo::platform
