#include <windows.h>

#include "platform/process.h"

namespace linvo::platform {

int CurrentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

int CurrentThreadId() { return static_cast<int>(GetCurrentThreadId()); }

}  // namespace linvo::platform
