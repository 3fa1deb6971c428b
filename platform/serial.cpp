// Serial lines on POSIX: port-name resolution, OpenSerialLine and the pseudo-terminal helper.
#include "platform/serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/error_text.h"
#include "platform/port_names.h"
#include "platform/profile.h"
#include "platform/serial_backend.h"
#include "platform/serial_tty.h"
#include "platform/serial_virtual.h"

namespace linvo::platform {
namespace {

// "[Ports] LowLatency=0" keeps drivers in their own latency mode.
constexpr const char* kLowLatencyKey = "LowLatency";
// A device path from [Ports] longer than this is cut, as the profile read into a buffer is.
constexpr std::size_t kDevicePathBuffer = 4096;

// The device for a port that is not a virtual line: [Ports] in the settings file, else the
// POSIX convention /dev/ttyS<n-1>. comName is normalised ("COMn").
std::string TtyPathFor(const std::string& comName, const std::string& settingsFile) {
  if (!settingsFile.empty()) {
    std::string mapped = ReadProfileString("Ports", comName, "", settingsFile, kDevicePathBuffer);
    if (!mapped.empty()) return mapped;
  }
  return "/dev/ttyS" + std::to_string(std::stoi(comName.substr(3)) - 1);
}

}  // namespace

std::optional<std::string> ResolvePortName(const std::string& windowsName,
                                           const std::string& settingsFile) {
  const std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) return std::nullopt;
  if (IsVirtualLineRegistered(comName)) return "virtual:" + comName;
  return TtyPathFor(comName, settingsFile);
}

OpenResult OpenSerialLine(const std::string& windowsName, const std::string& settingsFile) {
  const std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) {
    return OpenResult{nullptr, SerialError{EINVAL, "Not a port name: " + windowsName}};
  }
  // The registry answers "is there a line" and opens it under one lock, so a registration
  // cannot slip between the look-up and the open.
  bool registered = false;
  OpenResult virtualLine = OpenVirtualHost(comName, &registered);
  if (registered) return virtualLine;
  TtyOptions options;
  if (!settingsFile.empty()) {
    options.lowLatency = ReadProfileInt("Ports", kLowLatencyKey, 1, settingsFile) != 0;
  }
  return OpenTtyLine(TtyPathFor(comName, settingsFile), options);
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
