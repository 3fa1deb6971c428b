// Private to the tty backend: the driver's low-latency mode (ASYNC_LOW_LATENCY), asked for on
// open and put back on close.
#pragma once

#include <linux/serial.h>

#include "platform/serial.h"

namespace linvo::platform {

class LowLatencyMode {
 public:
  // TIOCGSERIAL / TIOCSSERIAL on the descriptor; -1 with errno on failure. Replaceable so that
  // tests can play a driver that refuses.
  using SerialInfoCall = int (*)(int fd, unsigned long request, serial_struct* info);
  static int DriverCall(int fd, unsigned long request, serial_struct* info);

  // Asks for the mode when `wanted`; a driver without it (a pseudo-terminal answers ENOTTY) or
  // one that refuses leaves the line as it was and says why in Outcome().
  LowLatencyMode(int fd, bool wanted, SerialInfoCall call = DriverCall);
  // Puts the driver's previous flags back when the open changed them.
  ~LowLatencyMode();
  LowLatencyMode(const LowLatencyMode&) = delete;
  LowLatencyMode& operator=(const LowLatencyMode&) = delete;

  const LowLatencyOutcome& Outcome() const { return m_outcome; }

 private:
  int m_fd;
  SerialInfoCall m_call;
  LowLatencyOutcome m_outcome;
  bool m_restore = false;
  serial_struct m_previous{};
};

}  // namespace linvo::platform
