// EnumPorts: the serial ports a host can open, as one comma-separated text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ports.h"

namespace linvo::portapi {

// Lists the COM names that resolve ("COM1,COM3,COM7"), in number order: the [Ports] entries of
// the engine's settings file whose device exists and COMn for each /dev/ttyS<n-1> with a UART
// behind it (and virtual lines registered in this process). Holds the port table's lock for the
// whole walk. Returns 1 and sets *list and *count (an empty text and 0 when there is no port);
// returns 0 when an out argument is missing (nothing is written).
int32_t EnumPorts(std::string* list, int16_t* count);

// The same under other device roots and another settings file.
int32_t EnumPorts(const platform::DeviceRoots& roots, const std::string& settingsFile,
                  std::string* list, int16_t* count);

// For tools: the adapters no COM name reaches yet (USB, ACM), by their stable
// /dev/serial/by-id names where they have one, with the [Ports] line that would map each.
std::vector<platform::UnmappedDevice> UnmappedPorts();

}  // namespace linvo::portapi
