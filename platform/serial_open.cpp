// Port-name resolution, the same on every system: a COM name opens the virtual line registered
// under it in this process, else the device its [Ports] entry maps it to, else the system's
// default device for that number. The backend opens the device; a network address opens the
// network line.
#include <cerrno>

#include "platform/net/net_url.h"
#include "platform/net/net_socket.h"
#include "platform/net/serial_net.h"
#include "platform/port_names.h"
#include "platform/profile.h"
#include "platform/serial.h"
#include "platform/serial_backend.h"
#include "platform/serial_virtual.h"

namespace linvo::platform {
namespace {

// "[Ports] LowLatency=0" keeps drivers in their own latency mode.
constexpr const char* kLowLatencyKey = "LowLatency";
// A device path from [Ports] longer than this is cut, as the profile read into a buffer is.
constexpr std::size_t kDevicePathBuffer = 4096;

// The device for a port that is not a virtual line. comName is normalised ("COMn").
std::string DeviceFor(const std::string& comName, const std::string& settingsFile) {
  if (!settingsFile.empty()) {
    std::string mapped = ReadProfileString("Ports", comName, "", settingsFile, kDevicePathBuffer);
    if (!mapped.empty()) return mapped;
  }
  return DefaultDevicePath(comName);
}

}  // namespace

std::optional<std::string> ResolvePortName(const std::string& windowsName,
                                           const std::string& settingsFile) {
  const std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) return std::nullopt;
  if (IsVirtualLineRegistered(comName)) return "virtual:" + comName;
  return DeviceFor(comName, settingsFile);
}

OpenResult OpenSerialLine(const std::string& windowsName, const std::string& settingsFile) {
  const std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) {
    return OpenResult{nullptr, SerialError{kNotAPortNameError, "Not a port name: " + windowsName}};
  }
  // The registry answers "is there a line" and opens it under one lock, so a registration
  // cannot slip between the look-up and the open.
  bool registered = false;
  OpenResult virtualLine = OpenVirtualHost(comName, &registered);
  if (registered) return virtualLine;
  DeviceOptions options;
  if (!settingsFile.empty()) {
    options.lowLatency = ReadProfileInt("Ports", kLowLatencyKey, 1, settingsFile) != 0;
  }
  const std::string device = DeviceFor(comName, settingsFile);
  if (IsNetUrl(device)) {
    std::string error;
    const std::optional<NetUrl> url = ParseNetUrl(device, &error);
    if (!url) {
      return OpenResult{nullptr, SerialError{NetErrorCode(NetFailure::kInvalid),
                                             "Not a usable address (" + error + "): " + device}};
    }
    return OpenNetLine(*url);
  }
  return OpenDeviceLine(device, options);
}

}  // namespace linvo::platform
