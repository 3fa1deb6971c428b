#include <poll.h>

#include "platform/clock.h"
#include "platform/serial.h"

namespace linvo::platform {

// A tty reports modem-line changes only through TIOCMIWAIT, which blocks without a time-out
// and cannot be woken, so the lines are re-read at a short period while the caller waits.
WaitResult SerialLine::WaitModemLines(uint32_t bits, int timeoutMs, int wakeFd) {
  constexpr int kRecheckMs = 5;
  const uint32_t start = TickCount();
  for (;;) {
    uint32_t status = 0;
    if (!GetModemStatus(&status)) return WaitResult::kFailed;
    if ((status & bits) == bits) return WaitResult::kReady;
    int wait = kRecheckMs;
    if (timeoutMs >= 0) {
      uint32_t elapsed = TickCount() - start;
      if (elapsed >= static_cast<uint32_t>(timeoutMs)) return WaitResult::kTimeout;
      if (static_cast<uint32_t>(timeoutMs) - elapsed < static_cast<uint32_t>(wait)) {
        wait = static_cast<int>(static_cast<uint32_t>(timeoutMs) - elapsed);
      }
    }
    pollfd p{wakeFd, POLLIN, 0};
    int n = ::poll(&p, wakeFd >= 0 ? 1 : 0, wait);
    if (n > 0) return WaitResult::kWoken;
  }
}

}  // namespace linvo::platform
