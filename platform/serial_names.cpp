// Serial lines, on every system: Windows port names and the virtual peer's helpers.
#include <algorithm>
#include <string_view>

#include "platform/port_names.h"
#include "platform/serial.h"
#include "platform/text.h"

namespace linvo::platform {

std::string NormalisePortName(const std::string& windowsName) {
  std::string_view name = windowsName;
  if (name.substr(0, 4) == "\\\\.\\") name.remove_prefix(4);
  if (name.size() < 4 || !EqualsNoCase(name.substr(0, 3), "COM")) return {};
  const std::string_view digits = name.substr(3);
  // "COM01" and "COM+1" name no Windows device; three digits are enough for 256.
  if (digits.size() > 3 || digits.front() == '0' ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  const int number = std::stoi(std::string(digits));
  if (number < 1 || number > kHighestPort) return {};
  return "COM" + std::to_string(number);
}

std::vector<uint8_t> VirtualPeer::ReadAll() {
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  for (std::size_t n; (n = Read(chunk, sizeof chunk)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  return bytes;
}

}  // namespace linvo::platform
