// Pollable wake-up descriptor on eventfd.
#include "platform/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace linvo::platform {

WakeEvent::WakeEvent() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  // Without the descriptor no wait could be interrupted; that is not a state to run in.
  if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeEvent::~WakeEvent() { close(m_fd); }

void WakeEvent::Signal() {
  const uint64_t one = 1;
  // EAGAIN means the counter is at its maximum: the descriptor is readable already.
  while (write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void WakeEvent::Clear() {
  uint64_t value;
  // Not a semaphore eventfd: one read resets the counter; loop only on EINTR and until EAGAIN.
  for (;;) {
    const ssize_t n = read(m_fd, &value, sizeof value);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;  // EAGAIN: drained
  }
}

}  // namespace linvo::platform
