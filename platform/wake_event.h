// The wake-up primitive: an event that a stop request (or any other "look again") signals and
// that every blocking wait of the platform layer includes, so that the wait ends at once.
//
// It stays signalled until Clear(). On POSIX it is an eventfd, readable while signalled, so that
// backends can put it beside their own descriptors in one poll() and hosts beside theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace linvo::platform {

#ifdef _WIN32
using NativeWaitHandle = void*;  // a manual-reset event
inline constexpr NativeWaitHandle kNoWaitHandle = nullptr;
#else
using NativeWaitHandle = int;  // a descriptor that polls readable while the event is signalled
inline constexpr NativeWaitHandle kNoWaitHandle = -1;
#endif

// The handle as a 32-bit number for interfaces that carry one (the C interface): the descriptor
// itself on POSIX; on Windows the handle's value, which fits because kernel handles are 32-bit
// significant (sign-extending the number gives the handle back, as LongToHandle does). -1 for
// kNoWaitHandle.
inline int32_t WaitHandleNumber(NativeWaitHandle handle) {
#ifdef _WIN32
  return handle == kNoWaitHandle ? -1
                                 : static_cast<int32_t>(reinterpret_cast<std::intptr_t>(handle));
#else
  return handle;
#endif
}
// The handle back from its number (WaitHandleNumber).
inline NativeWaitHandle WaitHandleFromNumber(int32_t number) {
#ifdef _WIN32
  return number == -1 ? kNoWaitHandle
                      : reinterpret_cast<NativeWaitHandle>(static_cast<std::intptr_t>(number));
#else
  return number;
#endif
}

class WakeEvent {
 public:
  WakeEvent();  // throws std::system_error when the system has no event left to give
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Signal();  // signalled until Clear(); signalling twice is signalling once
  void Clear();
  // Blocks until the event is signalled (true) or timeoutMs passes (false; negative: no
  // limit). Leaves the event signalled.
  bool Wait(int timeoutMs) const;

  NativeWaitHandle Native() const { return m_handle; }

 private:
  NativeWaitHandle m_handle;
};

// Blocks until one of the events is signalled or timeoutMs passes (negative: no limit). Null
// entries are skipped; with no event at all this is a plain sleep. Returns the index of the
// first signalled event in the list, or -1 when the time passed.
int WaitAny(std::initializer_list<const WakeEvent*> events, int timeoutMs);

// Blocks until one of the handles is ready or timeoutMs passes (negative: no limit). Ready is a
// WakeEvent's handle while signalled, on POSIX a descriptor while readable, hung up or in error
// (a read tells which), on Windows any waitable object while signalled. kNoWaitHandle entries are
// skipped; with none at all this is a plain sleep. Returns the index of the first ready handle in
// the list, kWaitTimedOut when the time passed, or kWaitFailed when the wait itself failed (a
// closed handle, more than kMaxWaitHandles handles).
inline constexpr std::size_t kMaxWaitHandles = 16;
inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitFailed = -2;
int WaitAnyHandle(std::span<const NativeWaitHandle> handles, int timeoutMs);
inline int WaitAnyHandle(std::initializer_list<NativeWaitHandle> handles, int timeoutMs) {
  return WaitAnyHandle(std::span<const NativeWaitHandle>(handles.begin(), handles.size()),
                       timeoutMs);
}

// WaitAny of one event that may be null: true when it was signalled.
inline bool WaitForWake(const WakeEvent* wake, int timeoutMs) {
  return WaitAny({wake}, timeoutMs) == 0;
}

}  // namespace linvo::platform
