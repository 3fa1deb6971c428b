// Message windows on per-thread queues, each with a wake-up event that is signalled while the
// queue holds messages.
//
// Locks: the registry mutex (handle → window) is taken before a queue mutex, never after, and
// neither is held while a handler or dropper runs, so handlers may post, create and destroy
// windows and pump re-entrantly. PostWindowMessage appends under both locks, so once
// DestroyMessageWindow has removed a window from the registry no message for it can arrive.
//
// Every posted message ends in exactly one place: the window's handler, or its dropper (window
// destroyed while the message was queued or being pumped, or the owner thread ended).
#include "platform/message.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/deadline.h"
#include "platform/wake_event.h"

namespace linvo::platform {

namespace {

// Posts fail once a queue holds this many messages, the default per-queue quota of the Windows
// message queue; it bounds the memory a thread that stopped pumping can pin.
constexpr size_t kMaxQueuedMessages = 10000;

constexpr uint32_t kFirstRegisteredMessage = 0xC000;
constexpr uint32_t kLastRegisteredMessage = 0xFFFF;

class MessageQueue;

struct Window {
  WindowHandle handle;
  std::shared_ptr<MessageQueue> owner;
  MessageHandler handler;
  MessageDropper dropper;
  std::atomic<bool> alive{true};
};

struct Message {
  std::shared_ptr<Window> window;  // keeps the handler and dropper alive while queued
  uint32_t msg;
  WParam w;
  LParam l;
};

void Drop(const Message& m) {
  if (m.window->dropper) m.window->dropper(m.msg, m.w, m.l);
}

void DropAll(const std::deque<Message>& messages) {
  for (const Message& m : messages) Drop(m);
}

class MessageQueue {
 public:
  MessageQueue() = default;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  const WakeEvent& NotEmpty() const { return m_notEmpty; }

  // False when the queue is closed (its thread ended) or full.
  bool Post(Message message) {
    std::lock_guard lock(m_mutex);
    if (m_closed || m_messages.size() >= kMaxQueuedMessages) return false;
    m_messages.push_back(std::move(message));
    if (m_messages.size() == 1) SetReadable();
    return true;
  }

  // Every queued message, leaving the queue empty.
  std::deque<Message> TakeAll() {
    std::lock_guard lock(m_mutex);
    std::deque<Message> all = std::exchange(m_messages, {});
    if (!all.empty()) ClearReadable();
    return all;
  }

  // The queued messages for one window, taken out of the queue.
  std::deque<Message> TakeFor(const Window* window) {
    std::lock_guard lock(m_mutex);
    std::deque<Message> taken;
    std::deque<Message> kept;
    for (Message& m : m_messages) (m.window.get() == window ? taken : kept).push_back(std::move(m));
    const bool wasEmpty = m_messages.empty();
    m_messages = std::move(kept);
    if (!wasEmpty && m_messages.empty()) ClearReadable();
    return taken;
  }

  // Puts messages not yet dispatched back at the front, in their order.
  void PutBack(std::deque<Message> messages) {
    std::lock_guard lock(m_mutex);
    if (messages.empty()) return;
    const bool wasEmpty = m_messages.empty();
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
      m_messages.push_front(std::move(*it));
    }
    if (wasEmpty) SetReadable();
  }

  // Refuses further posts and returns what is queued.
  std::deque<Message> Close() {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    std::deque<Message> all = std::exchange(m_messages, {});
    if (!all.empty()) ClearReadable();
    return all;
  }

 private:
  // The event is signalled exactly while m_messages is non-empty; both change together under
  // m_mutex.
  void SetReadable() { m_notEmpty.Signal(); }
  void ClearReadable() { m_notEmpty.Clear(); }

  std::mutex m_mutex;
  std::deque<Message> m_messages;
  bool m_closed = false;
  WakeEvent m_notEmpty;
};

// handle → window. Allocated once and never destroyed, so that threads still posting while the
// process exits find it intact.
struct Registry {
  std::mutex mutex;
  std::unordered_map<WindowHandle, std::shared_ptr<Window>> windows;
  WindowHandle lastHandle = 0;
  // Registered message names (lower case) and their numbers, under the same mutex.
  std::unordered_map<std::string, uint32_t> messageNumbers;
  uint32_t nextMessageNumber = kFirstRegisteredMessage;
};

Registry& GetRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

// The calling thread's queue, created on first use. At thread exit it destroys the thread's
// windows and drops what is queued.
class ThreadQueue {
 public:
  ~ThreadQueue();
  const std::shared_ptr<MessageQueue>& Get() {
    if (!m_queue) m_queue = std::make_shared<MessageQueue>();
    return m_queue;
  }

 private:
  std::shared_ptr<MessageQueue> m_queue;
};

thread_local ThreadQueue t_queue;
// Set once t_queue is destroyed; a plain bool stays readable in later thread-exit destructors.
thread_local bool t_queueGone = false;

ThreadQueue::~ThreadQueue() {
  t_queueGone = true;
  if (!m_queue) return;
  std::vector<std::shared_ptr<Window>> windows;
  std::deque<Message> queued;
  {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto it = registry.windows.begin(); it != registry.windows.end();) {
      if (it->second->owner == m_queue) {
        it->second->alive = false;
        windows.push_back(std::move(it->second));
        it = registry.windows.erase(it);
      } else {
        ++it;
      }
    }
    queued = m_queue->Close();
  }
  DropAll(queued);
}

// Null once the thread's queue has been destroyed (a destructor running at thread exit).
std::shared_ptr<MessageQueue> CurrentQueue() {
  if (t_queueGone) return nullptr;
  return t_queue.Get();
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

uint32_t RegisterNamedMessage(std::string_view name) {
  if (name.empty()) return 0;
  std::string key(name);
  for (char& c : key) c = AsciiLower(c);
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  if (auto it = registry.messageNumbers.find(key); it != registry.messageNumbers.end()) {
    return it->second;
  }
  if (registry.nextMessageNumber > kLastRegisteredMessage) return 0;
  registry.messageNumbers.emplace(std::move(key), registry.nextMessageNumber);
  return registry.nextMessageNumber++;
}

WindowHandle CreateMessageWindow(std::string_view /*name*/, MessageHandler handler,
                                 MessageDropper dropper) {
  auto window = std::make_shared<Window>();
  window->owner = CurrentQueue();
  window->handler = std::move(handler);
  window->dropper = std::move(dropper);
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  window->handle = ++registry.lastHandle;
  // A window created while its thread is ending gets a handle but is never registered: posts
  // to it fail as they would a moment later.
  if (window->owner) registry.windows.emplace(window->handle, window);
  return window->handle;
}

bool DestroyMessageWindow(WindowHandle window) {
  std::shared_ptr<Window> destroyed;
  {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end()) return false;
    destroyed = std::move(it->second);
    registry.windows.erase(it);
    destroyed->alive = false;
  }
  // Messages already taken by a pump in progress are dropped there, when it reaches them.
  DropAll(destroyed->owner->TakeFor(destroyed.get()));
  return true;
}

bool IsMessageWindow(WindowHandle window) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.windows.count(window) != 0;
}

bool PostWindowMessage(WindowHandle window, uint32_t msg, WParam w, LParam l) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.windows.find(window);
  if (it == registry.windows.end()) return false;
  return it->second->owner->Post(Message{it->second, msg, w, l});
}

int PumpMessages(int timeoutMs) {
  const std::shared_ptr<MessageQueue> queue = CurrentQueue();
  if (!queue) return 0;
  const Deadline deadline = Deadline::After(timeoutMs);
  std::deque<Message> batch;
  for (;;) {
    if (queue->NotEmpty().Wait(deadline.RemainingMs())) {
      batch = queue->TakeAll();
      if (!batch.empty()) break;  // empty: another thread destroyed the window meanwhile
    }
    if (deadline.Passed()) return 0;
  }

  // Messages posted from here on, also by the handlers below, wait for the next pump. Should a
  // handler throw, the messages not yet dispatched go back to the front of the queue.
  struct PutBackOnUnwind {
    const std::shared_ptr<MessageQueue>& queue;
    std::deque<Message>& rest;
    ~PutBackOnUnwind() { queue->PutBack(std::move(rest)); }
  } guard{queue, batch};
  int handled = 0;
  while (!batch.empty()) {
    const Message m = std::move(batch.front());
    batch.pop_front();
    if (m.window->alive && m.window->handler) {
      m.window->handler(m.msg, m.w, m.l);
      ++handled;
    } else {
      Drop(m);
    }
  }
  return handled;
}

NativeWaitHandle MessageQueueFd() {
  const std::shared_ptr<MessageQueue> queue = CurrentQueue();
  return queue ? queue->NotEmpty().Native() : kNoWaitHandle;
}

}  // namespace linvo::platform
