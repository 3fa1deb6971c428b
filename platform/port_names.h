// Private to the platform layer: Windows port names ("COM3", "\\.\COM12") as one spelling.
#pragma once

#include <string>

namespace linvo::platform {

// The highest port number a name may carry.
inline constexpr int kHighestPort = 256;

// "COMn" for a valid port name ("COMn" or "\\.\COMn", any case, n 1..256), else "".
std::string NormalisePortName(const std::string& windowsName);

}  // namespace linvo::platform
