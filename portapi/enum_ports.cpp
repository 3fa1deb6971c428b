#include "portapi/enum_ports.h"

#include <mutex>

#include "engine/settings.h"
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

std::vector<platform::UnmappedDevice> UnmappedPorts() {
  return platform::ListUnmappedDevices(engine::EngineSettingsFile());
}

}  // namespace linvo::portapi
