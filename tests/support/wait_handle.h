// Whether a platform wait handle (a descriptor on POSIX, an event on Windows) is signalled now.
#pragma once

#include "platform/wake_event.h"

namespace linvo::test {

bool IsSignalled(platform::NativeWaitHandle handle);

}  // namespace linvo::test
