// Waits on wake-up events, on every system: through the handle wait of the system's backend.
#include <cstddef>

#include "platform/wake_event.h"

namespace linvo::platform {

bool WakeEvent::Wait(int timeoutMs) const { return WaitAny({this}, timeoutMs) == 0; }

int WaitAny(std::initializer_list<const WakeEvent*> events, int timeoutMs) {
  NativeWaitHandle handles[kMaxWaitHandles];
  if (events.size() > kMaxWaitHandles) return -1;
  std::size_t count = 0;
  for (const WakeEvent* event : events) {
    handles[count++] = event != nullptr ? event->Native() : kNoWaitHandle;
  }
  const int which = WaitAnyHandle(std::span<const NativeWaitHandle>(handles, count), timeoutMs);
  return which >= 0 ? which : -1;
}

}  // namespace linvo::platform
