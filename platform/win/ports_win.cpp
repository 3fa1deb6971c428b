// The machine's serial ports from the registry's serial device map, plus this process's virtual
// lines and the network ports of [Ports]. Every device Windows lists there already has its COM name, so none is unmapped.
#include <windows.h>

#include <set>

#include "platform/net/net_url.h"
#include "platform/port_names.h"
#include "platform/profile.h"
#include "platform/ports.h"
#include "platform/serial_virtual.h"

namespace linvo::platform {
namespace {

constexpr const char* kSerialMapKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

int PortNumber(const std::string& name) {
  const std::string com = NormalisePortName(name);
  return com.empty() ? 0 : std::stoi(com.substr(3));
}

}  // namespace

// The roots are those of the POSIX device tree; Windows has one registry key instead.
std::vector<SerialDevice> ListSerialDevices(const DeviceRoots&) {
  std::vector<SerialDevice> devices;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return devices;
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    BYTE data[256];
    DWORD nameSize = sizeof name;
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LSTATUS rc = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    SerialDevice device;
    device.path = reinterpret_cast<const char*>(data);  // "COM3"
    device.product = name;                              // "\Device\Serial0"
    devices.push_back(std::move(device));
  }
  RegCloseKey(key);
  return devices;
}

std::vector<std::string> ListPortNames(const std::string& settingsFile, const DeviceRoots& roots) {
  std::set<int> numbers;
  // [Ports] entries that name a network serial server (the server is not asked).
  if (!settingsFile.empty()) {
    for (const auto& [key, value] : ReadProfileSection("Ports", settingsFile)) {
      if (const int n = PortNumber(key); n > 0 && IsNetUrl(value) && ParseNetUrl(value, nullptr)) {
        numbers.insert(n);
      }
    }
  }
  for (const SerialDevice& device : ListSerialDevices(roots)) {
    if (const int n = PortNumber(device.path); n > 0) numbers.insert(n);
  }
  for (int n = 1; n <= kHighestPort; ++n) {
    if (IsVirtualLineRegistered("COM" + std::to_string(n))) numbers.insert(n);
  }
  std::vector<std::string> names;
  for (int n : numbers) names.push_back("COM" + std::to_string(n));
  return names;
}

std::vector<UnmappedDevice> ListUnmappedDevices(const std::string&, const DeviceRoots&) {
  return {};
}

}  // namespace linvo::platform
