// The wake-up primitive on eventfd.
#include "platform/wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/deadline.h"

namespace linvo::platform {

WakeEvent::WakeEvent() : m_handle(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  // Without the event no wait could be interrupted; that is not a state to run in.
  if (m_handle < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeEvent::~WakeEvent() { close(m_handle); }

void WakeEvent::Signal() {
  const uint64_t one = 1;
  // EAGAIN means the counter is at its maximum: the descriptor is readable already.
  while (write(m_handle, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void WakeEvent::Clear() {
  uint64_t value;
  // Not a semaphore eventfd: one read resets the counter; EAGAIN means it was clear.
  while (read(m_handle, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool WakeEvent::Wait(int timeoutMs) const { return WaitAny({this}, timeoutMs) == 0; }

int WaitAny(std::initializer_list<const WakeEvent*> events, int timeoutMs) {
  constexpr std::size_t kMaxEvents = 8;
  pollfd fds[kMaxEvents];
  int index[kMaxEvents];
  nfds_t count = 0;
  int position = 0;
  for (const WakeEvent* event : events) {
    if (event != nullptr && count < kMaxEvents) {
      fds[count] = {event->Native(), POLLIN, 0};
      index[count++] = position;
    }
    ++position;
  }
  const Deadline deadline = Deadline::After(timeoutMs);
  for (;;) {
    const int rc = poll(fds, count, deadline.RemainingMs());
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return -1;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents != 0) return index[i];
    }
  }
}

}  // namespace linvo::platform
