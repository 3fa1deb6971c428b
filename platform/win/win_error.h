// Private to the Win32 backends: the system's text for a Win32 error number.
#pragma once

#include <cstdint>
#include <string>

namespace linvo::platform {

// FormatResultMessage's text for the error ("Access is denied."), without the trailing line break;
// "Error <n>" when the system has none.
std::string Win32ErrorText(uint32_t code);

}  // namespace linvo::platform
