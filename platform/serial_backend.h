// Private to the serial unit: what every backend shares (the device control block check and the
// COMMTIMEOUTS rules) and what each system's backend gives the portable port-name resolution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/serial.h"

namespace linvo::platform {

// How a device is opened, from the settings file's [Ports] section.
struct DeviceOptions {
  bool lowLatency = true;  // ask the driver for low-latency mode, where it has one
};

// The system's error for a name that is no port name (EINVAL, ERROR_INVALID_NAME).
extern const int kNotAPortNameError;

// The device a normalised COM name ("COM3") reaches when [Ports] maps it nowhere:
// /dev/ttyS<n-1> on POSIX, \\.\COMn on Windows.
std::string DefaultDevicePath(const std::string& comName);

// Opens a device by the path resolution gave, with the system's backend.
OpenResult OpenDeviceLine(const std::string& device, const DeviceOptions& options);

// What SetState takes: baud rate > 0, byte size 5..8, known parity, stop bits, DTR and RTS modes.
bool IsValidDeviceControlBlock(const DeviceControlBlock& dcb);

// One ReadFile under COMMTIMEOUTS, for any backend. `take` moves waiting bytes without blocking
// (a failed status ends the read); `wait` blocks until bytes may be waiting or timeoutMs passes
// (-1: no limit) and answers kReady, kTimeout or kFailed. A failure carries the system's error
// of the call that failed.
IoResult ReadWithTimeouts(const CommTimeouts& timeouts, uint8_t* buffer, std::size_t size,
                          const std::function<IoResult(uint8_t*, std::size_t)>& take,
                          const std::function<WaitOutcome(int timeoutMs)>& wait);

// A wake-up event used as a level: signalled while Set(true). The owner serialises the calls.
class Level {
 public:
  void Set(bool on) {
    if (on == m_on) return;
    on ? m_event.Signal() : m_event.Clear();
    m_on = on;
  }
  const WakeEvent& Event() const { return m_event; }

 private:
  WakeEvent m_event;
  bool m_on = false;
};

// Waits for a level (then look at the state it stands for) or the optional wake-up event.
// Returns kWoken, kReady or kTimeout.
inline WaitResult WaitLevel(const WakeEvent& level, const WakeEvent* wake, int timeoutMs) {
  switch (WaitAny({wake, &level}, timeoutMs)) {
    case 0:
      return WaitResult::kWoken;
    case 1:
      return WaitResult::kReady;
    default:
      return WaitResult::kTimeout;
  }
}

// multiplier * size + constant of a COMMTIMEOUTS total, in milliseconds, capped at INT_MAX;
// 0 means no limit.
int TotalTimeoutMs(uint32_t multiplier, uint32_t constant, std::size_t size);

}  // namespace linvo::platform
