// Private to the serial unit: the POSIX tty backend and its termios2 speed helpers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/serial.h"

namespace linvo::platform {

struct TtyOptions {
  bool lowLatency = true;  // ask the driver for low-latency mode
};

// Opens a tty exclusively (flock + TIOCEXCL) and sets it raw. On failure the error says why
// (errno and its text with the path), also for a path that is not a tty or a device another
// descriptor or process holds.
OpenResult OpenTtyLine(const std::string& path, const TtyOptions& options);

// Sets any baud rate (BOTHER) through termios2, leaving every other setting as it is.
// Lives in serial_tty_baud.cpp because <asm/termbits.h> and <termios.h> cannot meet.
bool SetTtyCustomSpeed(int fd, uint32_t baud);
// The output speed in bits per second as the driver holds it (termios2), or nothing.
std::optional<uint32_t> GetTtyOutputSpeed(int fd);

}  // namespace linvo::platform
