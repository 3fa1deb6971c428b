#include <windows.h>

#include "support/wait_handle.h"

namespace linvo::test {

bool IsSignalled(platform::NativeWaitHandle handle) {
  return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

}  // namespace linvo::test
