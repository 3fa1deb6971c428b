#include "platform/serial_low_latency.h"

#include <sys/ioctl.h>

#include <cerrno>

#include "platform/error_text.h"

namespace linvo::platform {

int LowLatencyMode::DriverCall(int fd, unsigned long request, serial_struct* info) {
  return ioctl(fd, request, info);
}

LowLatencyMode::LowLatencyMode(int fd, bool wanted, SerialInfoCall call) : m_fd(fd), m_call(call) {
  if (!wanted) {
    m_outcome.state = LowLatencyState::kSwitchedOff;
    return;
  }
  serial_struct info{};
  if (m_call(m_fd, TIOCGSERIAL, &info) != 0) {
    m_outcome = {LowLatencyState::kUnavailable, ErrorText(errno)};
    return;
  }
  if (info.flags & ASYNC_LOW_LATENCY) {
    m_outcome.state = LowLatencyState::kOn;  // the driver's own choice; nothing to put back
    return;
  }
  m_previous = info;
  info.flags |= ASYNC_LOW_LATENCY;
  if (m_call(m_fd, TIOCSSERIAL, &info) != 0) {
    m_outcome = {LowLatencyState::kUnavailable, ErrorText(errno)};
    return;
  }
  m_outcome.state = LowLatencyState::kOn;
  m_restore = true;
}

LowLatencyMode::~LowLatencyMode() {
  // Another program may have changed other fields meanwhile; only the flag this open set goes.
  serial_struct info{};
  if (!m_restore || m_call(m_fd, TIOCGSERIAL, &info) != 0) return;
  info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (m_previous.flags & ASYNC_LOW_LATENCY);
  m_call(m_fd, TIOCSSERIAL, &info);
}

}  // namespace linvo::platform
