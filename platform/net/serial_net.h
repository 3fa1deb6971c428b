// Private to the serial unit: the network line, a SerialLine over TCP to a serial server.
#pragma once

#include "platform/net/net_url.h"
#include "platform/serial.h"

namespace linvo::platform {

// Connects to the server of the URL and, for rfc2217://, negotiates the COM port option and
// reads the server's line settings, all within the URL's time-out. On failure the error carries
// the system's reason and names the address ("Connection refused: rfc2217://127.0.0.1:4000").
OpenResult OpenNetLine(const NetUrl& url);

}  // namespace linvo::platform
