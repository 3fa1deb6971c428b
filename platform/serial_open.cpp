// Port-name resolution, the same on every system: a COM name opens the virtual line registered
// under it in this process, else the device its [Ports] entry maps it to, else the system's
// default device for that number. The backend opens the device.
#include <cerrno>

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
  return OpenDeviceLine(DeviceFor(comName, settingsFile), options);
}

}  // namespace linvo::platform
