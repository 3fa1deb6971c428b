// The wake-up primitive on eventfd, and the handle wait on poll().
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

int WaitAnyHandle(std::span<const NativeWaitHandle> handles, int timeoutMs) {
  if (handles.size() > kMaxWaitHandles) return kWaitFailed;
  pollfd fds[kMaxWaitHandles];
  int index[kMaxWaitHandles];
  nfds_t count = 0;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (handles[i] == kNoWaitHandle) continue;
    fds[count] = {handles[i], POLLIN, 0};
    index[count++] = static_cast<int>(i);
  }
  const Deadline deadline = Deadline::After(timeoutMs);
  for (;;) {
    const int rc = poll(fds, count, deadline.RemainingMs());
    if (rc < 0 && errno == EINTR) continue;  // a signal; wait out the rest of the time
    if (rc < 0) return kWaitFailed;
    if (rc == 0) return kWaitTimedOut;
    for (nfds_t i = 0; i < count; ++i) {
      // POLLNVAL: the descriptor is not open; no wait on it can succeed.
      if (fds[i].revents & POLLNVAL) return kWaitFailed;
      if (fds[i].revents != 0) return index[i];
    }
  }
}

}  // namespace linvo::platform
