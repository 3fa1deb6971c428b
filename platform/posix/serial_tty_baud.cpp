// Baud rates through termios2 (BOTHER), which take any rate the driver can make. Kept apart
// from serial_tty.cpp because <asm/termbits.h> redefines what <termios.h> declares.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <optional>

#include "platform/posix/serial_tty.h"

namespace linvo::platform {

bool SetTtyCustomSpeed(int fd, uint32_t baud) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baud;
  settings.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

std::optional<uint32_t> GetTtyOutputSpeed(int fd) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return std::nullopt;
  return settings.c_ospeed;
}

}  // namespace linvo::platform
