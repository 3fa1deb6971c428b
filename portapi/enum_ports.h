// EnumPorts: the machine's serial ports as one comma-separated text.
#pragma once

#include <cstdint>
#include <string>

namespace linvo::portapi {

// Lists the serial devices of /sys/class/tty as "/dev/<name>" in the order the system lists
// them, joined with ",". Holds the port table's lock for the whole walk. Returns 1 and sets
// *list and *count on success (an empty text and 0 when there is no port); returns 0 when an
// out argument is missing (nothing is written), or when the directory cannot be read (*count
// holds the ports read so far, *list is left as it was).
int32_t EnumPorts(std::string* list, int16_t* count);

// The same walk under another root in place of /sys/class/tty.
int32_t EnumPorts(const std::string& ttyClassDir, std::string* list, int16_t* count);

}  // namespace linvo::portapi
