// Message windows as real message-only windows (HWND_MESSAGE) on the thread's own message queue.
//
// The system queue carries the messages; a record of every message posted through
// PostWindowMessage is kept beside it, so that each one ends in exactly one place: the window's
// handler when the message is dispatched, or its dropper when the window is destroyed (from any
// thread) or its thread ends first. A message the system still holds for a window whose record
// is gone reaches no handler.
//
// PumpMessages takes a batch — everything queued up to a marker it posts to its own thread — and
// then dispatches it, so that messages posted meanwhile (also by the handlers) wait for the next
// pump, nested pumps take only what is newer, and messages of the host's own windows on this
// thread are dispatched as its own loop would.
//
// One mutex guards the registry, the records and the per-thread counts; it is never held while
// a handler, a dropper or a window function runs.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/deadline.h"
#include "platform/message.h"
#include "platform/wake_event.h"

namespace linvo::platform {

namespace {

// Posts fail once a thread holds this many unhandled messages: the system's default per-queue
// quota, which bounds the memory a thread that stopped pumping can pin.
constexpr size_t kMaxQueuedMessages = 10000;

constexpr char kWindowClass[] = "LinvoMessageWindow";

// A thread that owns message windows: its count of messages not yet handled or dropped, the
// host's wait handle (signalled exactly while that count is not zero), and what its pumps carry
// over.
struct ThreadState {
  DWORD threadId = GetCurrentThreadId();
  WakeEvent notEmpty;
  size_t queued = 0;           // under the registry mutex
  std::deque<MSG> putBack;     // a batch a throwing handler left undispatched
  std::exception_ptr failure;  // thrown by a handler called from the window function
  UINT_PTR nextMarker = 0;
};

struct Posted {
  uint32_t msg;
  WParam w;
  LParam l;
};

struct Window {
  HWND hwnd = nullptr;
  std::shared_ptr<ThreadState> owner;
  MessageHandler handler;
  MessageDropper dropper;
  std::deque<Posted> posted;  // posted and not yet handled, in posting order
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<HWND, std::shared_ptr<Window>> windows;
};

// Allocated once and never destroyed, so that threads still posting while the process exits find
// it intact.
Registry& GetRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

// Called with the registry mutex held: `count` records of the thread's count are gone.
void Forget(ThreadState& state, size_t count = 1) {
  if (count == 0) return;
  state.queued = state.queued > count ? state.queued - count : 0;
  if (state.queued == 0) state.notEmpty.Clear();
}

void DropAll(const Window& window, const std::deque<Posted>& records) {
  if (!window.dropper) return;
  for (const Posted& p : records) window.dropper(p.msg, p.w, p.l);
}

// Takes the window out of the registry and returns its records; nullptr when it was not there.
std::shared_ptr<Window> Unregister(HWND hwnd, std::deque<Posted>* records) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.windows.find(hwnd);
  if (it == registry.windows.end()) return nullptr;
  std::shared_ptr<Window> window = std::move(it->second);
  registry.windows.erase(it);
  *records = std::exchange(window->posted, {});
  Forget(*window->owner, records->size());
  return window;
}

// The message numbers private to this file: a pump's end marker (a thread message) and the
// request to destroy a window made on another thread.
UINT PumpMarkerMessage() {
  static const UINT number = RegisterWindowMessageA("Linvo.Message.PumpMarker");
  return number;
}
UINT DestroyRequestMessage() {
  static const UINT number = RegisterWindowMessageA("Linvo.Message.DestroyWindow");
  return number;
}

// Runs the handler for a message of ours. False when the message has no record (not posted
// through PostWindowMessage, or dropped already): the caller hands it to the system's default.
bool Deliver(HWND hwnd, UINT msg, WPARAM w, LPARAM l, LRESULT* result) {
  std::shared_ptr<Window> window;
  {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.windows.find(hwnd);
    if (it == registry.windows.end()) return false;
    auto& posted = it->second->posted;
    auto record = std::find_if(posted.begin(), posted.end(), [&](const Posted& p) {
      return p.msg == msg && p.w == static_cast<WParam>(w) && p.l == static_cast<LParam>(l);
    });
    if (record == posted.end()) return false;
    posted.erase(record);
    window = it->second;
    Forget(*window->owner);
  }
  // A C++ exception must not unwind through the system's dispatch; the pump rethrows it.
  try {
    *result = window->handler ? window->handler(msg, w, l) : 0;
  } catch (...) {
    window->owner->failure = std::current_exception();
  }
  return true;
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == DestroyRequestMessage()) {
    DestroyWindow(hwnd);
    return 0;
  }
  LRESULT result = 0;
  if (Deliver(hwnd, msg, w, l, &result)) return result;
  return DefWindowProcA(hwnd, msg, w, l);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&WindowProcedure), &module);
  return module;
}

void RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WindowProcedure;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "RegisterClassEx");
  }
}

// At thread exit (the fiber-local slot's callback): the thread's windows are destroyed and what
// they still hold goes to their droppers.
void CALLBACK EndThread(void* data) {
  auto* state = static_cast<std::shared_ptr<ThreadState>*>(data);
  std::vector<std::pair<std::shared_ptr<Window>, std::deque<Posted>>> ended;
  {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto it = registry.windows.begin(); it != registry.windows.end();) {
      if (it->second->owner == *state) {
        std::deque<Posted> records = std::exchange(it->second->posted, {});
        Forget(**state, records.size());
        ended.emplace_back(std::move(it->second), std::move(records));
        it = registry.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& [window, records] : ended) {
    DestroyWindow(window->hwnd);
    DropAll(*window, records);
  }
  delete state;
}

DWORD ThreadSlot() {
  static const DWORD slot = FlsAlloc(&EndThread);
  return slot;
}

// The calling thread's state, created on first use and ended with the thread.
const std::shared_ptr<ThreadState>& CurrentThread() {
  const DWORD slot = ThreadSlot();
  if (slot == FLS_OUT_OF_INDEXES) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "FlsAlloc");
  }
  auto* state = static_cast<std::shared_ptr<ThreadState>*>(FlsGetValue(slot));
  if (state == nullptr) {
    state = new std::shared_ptr<ThreadState>(std::make_shared<ThreadState>());
    FlsSetValue(slot, state);
  }
  return *state;
}

// Removes from the system queue everything posted before a marker posted now, sent messages
// being handled on the way as the system does.
std::deque<MSG> TakeBatch(ThreadState& state) {
  std::deque<MSG> batch = std::exchange(state.putBack, {});
  const UINT_PTR marker = ++state.nextMarker;
  if (!PostThreadMessageA(state.threadId, PumpMarkerMessage(), marker, 0)) return batch;
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.hwnd == nullptr && m.message == PumpMarkerMessage()) {
      if (m.wParam == marker) break;
      continue;  // a marker a throwing handler's pump left behind
    }
    batch.push_back(m);
  }
  return batch;
}

}  // namespace

uint32_t RegisterNamedMessage(std::string_view name) {
  if (name.empty()) return 0;
  return RegisterWindowMessageA(std::string(name).c_str());
}

WindowHandle CreateMessageWindow(std::string_view name, MessageHandler handler,
                                 MessageDropper dropper) {
  RegisterWindowClass();
  auto window = std::make_shared<Window>();
  window->owner = CurrentThread();
  window->handler = std::move(handler);
  window->dropper = std::move(dropper);
  window->hwnd = CreateWindowExA(0, kWindowClass, std::string(name).c_str(), 0, 0, 0, 0, 0,
                                 HWND_MESSAGE, nullptr, ThisModule(), nullptr);
  if (window->hwnd == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateWindowEx");
  }
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  registry.windows.emplace(window->hwnd, window);
  return reinterpret_cast<WindowHandle>(window->hwnd);
}

bool DestroyMessageWindow(WindowHandle handle) {
  const HWND hwnd = reinterpret_cast<HWND>(handle);
  std::deque<Posted> records;
  const std::shared_ptr<Window> window = Unregister(hwnd, &records);
  if (!window) return false;
  // Only the owner thread may destroy a window; another thread asks it to.
  if (window->owner->threadId == GetCurrentThreadId()) {
    DestroyWindow(hwnd);
  } else {
    PostMessageA(hwnd, DestroyRequestMessage(), 0, 0);
  }
  DropAll(*window, records);
  return true;
}

bool IsMessageWindow(WindowHandle window) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.windows.count(reinterpret_cast<HWND>(window)) != 0;
}

bool PostWindowMessage(WindowHandle handle, uint32_t msg, WParam w, LParam l) {
  const HWND hwnd = reinterpret_cast<HWND>(handle);
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.windows.find(hwnd);
  if (it == registry.windows.end()) return false;
  Window& window = *it->second;
  ThreadState& owner = *window.owner;
  if (owner.queued >= kMaxQueuedMessages) return false;
  // The record goes in first: the owner may take the message the moment it is posted.
  window.posted.push_back(Posted{msg, w, l});
  if (!PostMessageA(hwnd, msg, static_cast<WPARAM>(w), static_cast<LPARAM>(l))) {
    window.posted.pop_back();
    return false;
  }
  if (owner.queued++ == 0) owner.notEmpty.Signal();
  return true;
}

int PumpMessages(int timeoutMs) {
  const std::shared_ptr<ThreadState> state = CurrentThread();
  const Deadline deadline = Deadline::After(timeoutMs);
  for (;;) {
    if (state->putBack.empty()) {
      const int left = deadline.RemainingMs();
      const DWORD wait =
          MsgWaitForMultipleObjectsEx(0, nullptr, left < 0 ? INFINITE : static_cast<DWORD>(left),
                                      QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (wait != WAIT_OBJECT_0) return 0;  // the time passed
    }
    std::deque<MSG> batch = TakeBatch(*state);
    int handled = 0;
    while (!batch.empty()) {
      const MSG m = batch.front();
      batch.pop_front();
      LRESULT unused = 0;
      // Ours with a record goes to its handler; anything else as the system dispatches it.
      if (m.hwnd != nullptr && Deliver(m.hwnd, m.message, m.wParam, m.lParam, &unused)) {
        ++handled;
      } else {
        TranslateMessage(&m);
        DispatchMessageA(&m);
      }
      if (state->failure) {
        // The rest waits for the next pump, ahead of anything newer.
        state->putBack.insert(state->putBack.begin(), batch.begin(), batch.end());
        std::rethrow_exception(std::exchange(state->failure, nullptr));
      }
    }
    if (handled > 0 || deadline.Passed()) return handled;
  }
}

NativeWaitHandle MessageQueueFd() { return CurrentThread()->notEmpty.Native(); }

}  // namespace linvo::platform
