// EnumPorts: the serial ports a host can open, as one comma-separated text; ListPorts: the same
// with each name's device, and the adapters that have no COM name yet.
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

// A COM name that resolves, with the device it reaches.
struct ListedPort {
  std::string name;    // "COM3"
  std::string device;  // "/dev/ttyUSB0"; "virtual:COM3" for a virtual line of this process
};

// The machine's ports for listings (the C interface's lvo_list_ports): EnumPorts' names, each
// with its device, and the adapters no COM name reaches yet (USB, ACM), by their stable
// /dev/serial/by-id names where they have one, each with the [Ports] line that would map it.
struct PortListing {
  std::vector<ListedPort> ports;
  std::vector<platform::UnmappedDevice> adapters;
};

// Lists them from the engine's settings file, holding the port table's lock for the whole walk.
PortListing ListPorts();

// The same under other device roots and another settings file. A name's device is resolved as
// an open resolves it, on the system's own device tree.
PortListing ListPorts(const platform::DeviceRoots& roots, const std::string& settingsFile);

}  // namespace linvo::portapi
