// Private to the serial unit: the virtual-line registry as OpenSerialLine sees it.
#pragma once

#include <memory>
#include <string>

#include "platform/serial.h"

namespace linvo::platform {

// Whether a virtual line is registered under the normalised name.
bool IsVirtualLineRegistered(const std::string& comName);

// Opens the host end of the virtual line registered under the normalised name. `registered`
// tells whether there is such a line; the result holds no line when there is none, when its
// host end is already open (EBUSY), or when the line has been disconnected (ENODEV).
OpenResult OpenVirtualHost(const std::string& comName, bool* registered);

}  // namespace linvo::platform
