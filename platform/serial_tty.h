// Private to the serial unit: the tty backend, the termios2 speed helpers and the COMMTIMEOUTS
// read loop that both backends share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/serial.h"

namespace linvo::platform {

// Opens a tty exclusively (flock + TIOCEXCL) and sets it raw. Null when the path is missing,
// not a tty, or held by another descriptor or process.
std::unique_ptr<SerialLine> OpenTtyLine(const std::string& path);

// Sets any baud rate (BOTHER) through termios2, leaving every other setting as it is.
// Lives in serial_tty_baud.cpp because <asm/termbits.h> and <termios.h> cannot meet.
bool SetTtyCustomSpeed(int fd, uint32_t baud);
// The output speed in bits per second as the driver holds it (termios2), or nothing.
std::optional<uint32_t> GetTtyOutputSpeed(int fd);

// What SetState takes: baud rate > 0, byte size 5..8, known parity, stop bits, DTR and RTS modes.
bool IsValidDeviceControlBlock(const DeviceControlBlock& dcb);

// One ReadFile under COMMTIMEOUTS, for any backend. `take` moves waiting bytes without blocking
// (a failed status ends the read); `wait` blocks until bytes may be waiting or timeoutMs passes
// (-1: no limit) and answers kReady, kTimeout or kFailed.
IoResult ReadWithTimeouts(const CommTimeouts& timeouts, uint8_t* buffer, std::size_t size,
                          const std::function<IoResult(uint8_t*, std::size_t)>& take,
                          const std::function<WaitResult(int timeoutMs)>& wait);

// multiplier * size + constant of a COMMTIMEOUTS total, in milliseconds, capped at INT_MAX;
// 0 means no limit.
int TotalTimeoutMs(uint32_t multiplier, uint32_t constant, std::size_t size);

// Milliseconds from now until `deadlineNs` (a steady_clock count), rounded up so that a wait of
// that length never ends before the deadline; 0 when it has passed. -1 for no deadline (< 0).
int MillisecondsUntil(int64_t deadlineNs);
// steady_clock now in nanoseconds, and a deadline timeoutMs from now (-1 stays "no deadline").
int64_t SteadyNowNs();
int64_t DeadlineAfter(int timeoutMs);

}  // namespace linvo::platform
