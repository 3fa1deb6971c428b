// The wake-up primitive on a manual-reset event object.
#include <windows.h>

#include <system_error>

#include "platform/deadline.h"
#include "platform/wake_event.h"

namespace linvo::platform {

WakeEvent::WakeEvent() : m_handle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  // Without the event no wait could be interrupted; that is not a state to run in.
  if (m_handle == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateEvent");
  }
}

WakeEvent::~WakeEvent() { CloseHandle(m_handle); }

void WakeEvent::Signal() { SetEvent(m_handle); }

void WakeEvent::Clear() { ResetEvent(m_handle); }

bool WakeEvent::Wait(int timeoutMs) const { return WaitAny({this}, timeoutMs) == 0; }

int WaitAny(std::initializer_list<const WakeEvent*> events, int timeoutMs) {
  constexpr std::size_t kMaxEvents = 8;
  HANDLE handles[kMaxEvents];
  int index[kMaxEvents];
  DWORD count = 0;
  int position = 0;
  for (const WakeEvent* event : events) {
    if (event != nullptr && count < kMaxEvents) {
      handles[count] = event->Native();
      index[count++] = position;
    }
    ++position;
  }
  const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (count == 0) {
    Sleep(wait);
    return -1;
  }
  const DWORD rc = WaitForMultipleObjects(count, handles, FALSE, wait);
  if (rc < WAIT_OBJECT_0 + count) return index[rc - WAIT_OBJECT_0];
  return -1;
}

}  // namespace linvo::platform
