// The machine's serial ports from sysfs, /dev/serial/by-id and the [Ports] section.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "platform/net/net_url.h"
#include "platform/port_names.h"
#include "platform/ports.h"
#include "platform/profile.h"
#include "platform/serial_virtual.h"

namespace linvo::platform {
namespace {

// How far up from a tty's device the USB device that owns it may sit (interface, device).
constexpr int kUsbSearchDepth = 4;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The names in a directory, without "." and "..". Empty when it cannot be read.
std::vector<std::string> Entries(const std::string& path) {
  std::vector<std::string> names;
  const DirPtr dir(opendir(path.c_str()));
  if (!dir) return names;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

// The first line of a small attribute file, without its line end.
std::optional<std::string> ReadAttribute(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[256];
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length < 0) return std::nullopt;
  std::string value(text, static_cast<std::size_t>(length));
  value.erase(std::min(value.find('\n'), value.size()));
  return value;
}

std::optional<std::string> RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// A serial device is a tty with a "device" link; a serial-core port whose "type" reads 0
// (PORT_UNKNOWN) is a slot where no UART answered (the 8250 driver registers 4 or 32 of them
// whether hardware is there or not, and opening one fails).
bool IsSerialDevice(const std::string& ttyDir) {
  struct stat st {};
  if (lstat((ttyDir + "/device").c_str(), &st) != 0) return false;
  return ReadAttribute(ttyDir + "/type").value_or("") != "0";
}

// The USB ids and product text of the device that owns the tty, when it sits on USB.
void ReadUsbIdentity(const std::string& ttyDir, SerialDevice* device) {
  std::optional<std::string> dir = RealPath(ttyDir + "/device");
  for (int depth = 0; dir && depth < kUsbSearchDepth; ++depth) {
    if (auto vendor = ReadAttribute(*dir + "/idVendor")) {
      device->vendorId = *vendor;
      device->productId = ReadAttribute(*dir + "/idProduct").value_or("");
      device->product = ReadAttribute(*dir + "/product").value_or("");
      return;
    }
    const std::size_t slash = dir->rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    dir->erase(slash);
  }
}

// The number of a COM name ("COM7" → 7), 0 for anything else.
int PortNumber(const std::string& name) {
  const std::string com = NormalisePortName(name);
  return com.empty() ? 0 : std::stoi(com.substr(3));
}

// Whether a [Ports] value names something an open can reach: a device that exists, or a network
// address that parses (the server is not asked; it may be down now and up at the open).
bool Reachable(const std::string& mapped) {
  return IsNetUrl(mapped) ? ParseNetUrl(mapped, nullptr).has_value() : Exists(mapped);
}

// What the machine and the settings say about each number.
struct PortMap {
  std::map<int, std::string> mapped;  // [Ports] COMn=device, by number
  std::set<int> uarts;                // n of each /dev/ttyS<n-1> with a UART behind it
};

PortMap ReadPortMap(const std::string& settingsFile, const DeviceRoots& roots) {
  PortMap map;
  if (!settingsFile.empty()) {
    for (const auto& [key, value] : ReadProfileSection("Ports", settingsFile)) {
      if (const int n = PortNumber(key); n > 0 && !value.empty()) map.mapped.emplace(n, value);
    }
  }
  for (int n = 1; n <= kHighestPort; ++n) {
    const std::string name = "ttyS" + std::to_string(n - 1);
    if (IsSerialDevice(roots.ttyClass + "/" + name) && Exists(roots.devices + "/" + name)) {
      map.uarts.insert(n);
    }
  }
  return map;
}

bool IsVirtual(int n) { return IsVirtualLineRegistered("COM" + std::to_string(n)); }

}  // namespace

std::vector<SerialDevice> ListSerialDevices(const DeviceRoots& roots) {
  std::map<std::string, std::string> stableNames;  // real device path → by-id name
  for (const std::string& name : Entries(roots.byId)) {
    const std::string link = roots.byId + "/" + name;
    if (auto target = RealPath(link)) stableNames.emplace(*target, link);
  }
  std::vector<SerialDevice> devices;
  for (const std::string& name : Entries(roots.ttyClass)) {
    const std::string ttyDir = roots.ttyClass + "/" + name;
    if (!IsSerialDevice(ttyDir)) continue;
    SerialDevice device;
    // The kernel writes a "/" of a device name as "!".
    std::string node = name;
    std::replace(node.begin(), node.end(), '!', '/');
    device.path = roots.devices + "/" + node;
    if (auto real = RealPath(device.path)) {
      if (auto found = stableNames.find(*real); found != stableNames.end()) {
        device.stablePath = found->second;
      }
    }
    ReadUsbIdentity(ttyDir, &device);
    devices.push_back(std::move(device));
  }
  return devices;
}

std::vector<std::string> ListPortNames(const std::string& settingsFile, const DeviceRoots& roots) {
  const PortMap map = ReadPortMap(settingsFile, roots);
  std::vector<std::string> names;
  for (int n = 1; n <= kHighestPort; ++n) {
    const auto mapped = map.mapped.find(n);
    const bool resolves = IsVirtual(n) || (mapped != map.mapped.end() ? Reachable(mapped->second)
                                                                      : map.uarts.count(n) != 0);
    if (resolves) names.push_back("COM" + std::to_string(n));
  }
  return names;
}

std::vector<UnmappedDevice> ListUnmappedDevices(const std::string& settingsFile,
                                                const DeviceRoots& roots) {
  const PortMap map = ReadPortMap(settingsFile, roots);
  std::set<std::string> reached;  // real paths of the devices [Ports] maps
  for (const auto& [n, device] : map.mapped) {
    if (auto real = RealPath(device)) reached.insert(*real);
  }
  auto taken = [&map](int n) {
    return map.mapped.count(n) != 0 || map.uarts.count(n) != 0 || IsVirtual(n);
  };
  std::vector<UnmappedDevice> unmapped;
  int next = 1;
  for (SerialDevice& device : ListSerialDevices(roots)) {
    // UARTs are reached as COMn by convention; so is every device a [Ports] entry names.
    if (device.path.starts_with(roots.devices + "/ttyS")) continue;
    const std::optional<std::string> real = RealPath(device.path);
    if (real && reached.count(*real) != 0) continue;
    while (next <= kHighestPort && taken(next)) ++next;
    std::string line;
    if (next <= kHighestPort) {
      line = "COM" + std::to_string(next++) + "=" +
             (device.stablePath.empty() ? device.path : device.stablePath);
    }
    unmapped.push_back({std::move(device), std::move(line)});
  }
  return unmapped;
}

}  // namespace linvo::platform
