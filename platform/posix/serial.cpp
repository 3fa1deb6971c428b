// Serial lines on POSIX: the tty backend behind port-name resolution, and the pseudo-terminal
// helper.
#include "platform/serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/error_text.h"
#include "platform/serial_backend.h"
#include "platform/posix/serial_tty.h"

namespace linvo::platform {

const int kNotAPortNameError = EINVAL;

std::string DefaultDevicePath(const std::string& comName) {
  return "/dev/ttyS" + std::to_string(std::stoi(comName.substr(3)) - 1);
}

OpenResult OpenDeviceLine(const std::string& device, const DeviceOptions& options) {
  return OpenTtyLine(device, TtyOptions{.lowLatency = options.lowLatency});
}

OpenResult OpenSerialDevice(const std::string& device) { return OpenTtyLine(device, {}); }

PseudoTerminal::PseudoTerminal() {
  auto fail = [this](const char* what) {
    const int error = errno;
    if (m_keptSlave >= 0) close(m_keptSlave);
    if (m_master >= 0) close(m_master);
    throw std::system_error(error, std::generic_category(), what);
  };
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0) fail("posix_openpt");
  if (grantpt(m_master) != 0) fail("grantpt");
  if (unlockpt(m_master) != 0) fail("unlockpt");
  char name[128];
  if (ptsname_r(m_master, name, sizeof name) != 0) fail("ptsname_r");
  m_slavePath = name;
  m_keptSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_keptSlave < 0) fail("open pseudo-terminal slave");
  termios settings{};
  if (tcgetattr(m_keptSlave, &settings) != 0) fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(m_keptSlave, TCSANOW, &settings) != 0) fail("tcsetattr");
  const int flags = fcntl(m_master, F_GETFL);
  if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");
}

PseudoTerminal::~PseudoTerminal() {
  close(m_keptSlave);
  close(m_master);
}

}  // namespace linvo::platform
