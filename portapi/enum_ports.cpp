#include "portapi/enum_ports.h"

#include <mutex>
#include <optional>

#include "engine/settings.h"
#include "platform/serial.h"
#include "portapi/table_lock.h"

namespace linvo::portapi {

int32_t EnumPorts(std::string* list, int16_t* count) {
  return EnumPorts(platform::DeviceRoots{}, engine::EngineSettingsFile(), list, count);
}

int32_t EnumPorts(const platform::DeviceRoots& roots, const std::string& settingsFile,
                  std::string* list, int16_t* count) {
  const std::lock_guard<std::mutex> tableLock(TableLock());
  if (list == nullptr || count == nullptr) return 0;
  std::string ports;
  int16_t listed = 0;
  // At most 256 names: the 16-bit count cannot overflow.
  for (const std::string& name : platform::ListPortNames(settingsFile, roots)) {
    if (listed++ > 0) ports += ',';
    ports += name;
  }
  *list = std::move(ports);
  *count = listed;
  return 1;
}

PortListing ListPorts() { return ListPorts(platform::DeviceRoots{}, engine::EngineSettingsFile()); }

PortListing ListPorts(const platform::DeviceRoots& roots, const std::string& settingsFile) {
  const std::lock_guard<std::mutex> tableLock(TableLock());
  PortListing listing;
  for (std::string& name : platform::ListPortNames(settingsFile, roots)) {
    // A device that went away between the two looks leaves its name without a device.
    std::string device = platform::ResolvePortName(name, settingsFile).value_or("");
    listing.ports.push_back({std::move(name), std::move(device)});
  }
  listing.adapters = platform::ListUnmappedDevices(settingsFile, roots);
  return listing;
}

}  // namespace linvo::portapi
