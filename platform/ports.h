// The machine's serial ports: the COM names a host can open, and the adapters that have none yet.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace linvo::platform {

// Where the system describes its devices; tests point these at a tree of their own.
struct DeviceRoots {
  std::string ttyClass = "/sys/class/tty";
  std::string devices = "/dev";
  std::string byId = "/dev/serial/by-id";
};

// A serial device as the system lists it.
struct SerialDevice {
  std::string path;        // "/dev/ttyUSB0"
  std::string stablePath;  // its /dev/serial/by-id name, "" when it has none (UARTs)
  std::string vendorId;    // USB ids ("0403", "6001"), "" for other buses
  std::string productId;
  std::string product;  // the adapter's product text, when it tells one
};

// The system's serial devices in its own order: the ttys with a device behind them, without the
// UART slots where no UART answered.
std::vector<SerialDevice> ListSerialDevices(const DeviceRoots& roots = {});

// The COM names that resolve, as OpenSerialLine resolves them, in number order: virtual lines of
// this process, the [Ports] entries of settingsFile whose device exists or that name a network
// serial server (rfc2217://, socket://; the server is not asked), and COMn for each
// /dev/ttyS<n-1> with a UART behind it that [Ports] does not map elsewhere (on Windows: the
// ports of the system's serial device map).
std::vector<std::string> ListPortNames(const std::string& settingsFile,
                                       const DeviceRoots& roots = {});

// A device no COM name reaches (USB and ACM adapters, until [Ports] maps them), with the
// [Ports] line that would give it the lowest free number ("COM5=/dev/serial/by-id/usb-...").
struct UnmappedDevice {
  SerialDevice device;
  std::string portsLine;
};
std::vector<UnmappedDevice> ListUnmappedDevices(const std::string& settingsFile,
                                                const DeviceRoots& roots = {});

}  // namespace linvo::platform
