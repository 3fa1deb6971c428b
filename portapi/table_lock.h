// The port table's lock, shared by the entry functions and the port enumeration.
#pragma once

#include <mutex>

namespace linvo::portapi {

// Guards the slots of the process-wide port table. Held only around slot lookup and creation,
// and for a whole port enumeration; never while a port-object operation runs.
std::mutex& TableLock();

}  // namespace linvo::portapi
