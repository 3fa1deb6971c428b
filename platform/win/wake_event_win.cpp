// The wake-up primitive on a manual-reset event object, and the handle wait on
// WaitForMultipleObjects.
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

int WaitAnyHandle(std::span<const NativeWaitHandle> handles, int timeoutMs) {
  if (handles.size() > kMaxWaitHandles) return kWaitFailed;
  HANDLE native[kMaxWaitHandles];
  int index[kMaxWaitHandles];
  DWORD count = 0;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (handles[i] == kNoWaitHandle) continue;
    native[count] = handles[i];
    index[count++] = static_cast<int>(i);
  }
  const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  if (count == 0) {
    Sleep(wait);
    return kWaitTimedOut;
  }
  const DWORD rc = WaitForMultipleObjects(count, native, FALSE, wait);
  if (rc < WAIT_OBJECT_0 + count) return index[rc - WAIT_OBJECT_0];
  // An abandoned mutex is the caller's now: it is ready.
  if (rc >= WAIT_ABANDONED_0 && rc < WAIT_ABANDONED_0 + count) return index[rc - WAIT_ABANDONED_0];
  return rc == WAIT_TIMEOUT ? kWaitTimedOut : kWaitFailed;
}

}  // namespace linvo::platform
