#include <poll.h>

#include "support/wait_handle.h"

namespace linvo::test {

bool IsSignalled(platform::NativeWaitHandle handle) {
  pollfd p{handle, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

}  // namespace linvo::test
