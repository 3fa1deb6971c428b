// A control as a host reaches it by name: members looked up and invoked by DISPID with variant
// arguments, events delivered to connected callbacks. The member table of the control decides
// everything (names, kinds, types, parameters); nothing here lists members.
//
// Thread rule: an object is used only on the thread that created it. Its events arrive on that
// thread while the thread pumps its messages. Every call from another thread does nothing and
// returns LVO_E_WRONG_THREAD (the platform's wrong-thread error) instead of racing. Threads are
// told apart by a number no other thread of the process ever gets, so a thread that inherits a
// dead creator's system thread id is still another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "control/member_table.h"
#include "module/status.h"
#include "module/variant.h"

namespace linvo::control {
class CLinvoCtrl;
}

namespace linvo::module {

class DispatchObject {
 public:
  // Receives one event: its entry of the event table and its argument.
  using EventCallback = std::function<void(const control::EventInfo& event, int32_t argument)>;

  // Takes the control; the calling thread becomes the object's thread.
  explicit DispatchObject(std::unique_ptr<control::CLinvoCtrl> control);
  ~DispatchObject();
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  // LVO_E_WRONG_THREAD unless called on the object's thread.
  Status CheckThread() const;

  // The DISPID of a member by name (case-insensitive); LVO_E_UNKNOWNNAME.
  Status GetDispid(std::string_view name, int32_t* dispid) const;

  // Invokes a member with LVO_METHOD / LVO_PROPERTYGET / LVO_PROPERTYPUT flags (linvo/linvo.h),
  // the arguments coerced to the member's parameter types. result may be null.
  Status Invoke(int32_t dispid, int32_t flags, std::span<const Variant> args, Variant* result);

  // Connects an event callback; *cookie > 0. Disconnect may be called from inside an event.
  Status Connect(EventCallback callback, int32_t* cookie);
  Status Disconnect(int32_t cookie);

  // True while one of this object's event callbacks runs on its thread.
  bool InEvent() const { return m_eventDepth > 0; }

  // From now on no callback is called (one already running finishes). Any thread may call it:
  // a host that has let the object go, while its destruction waits for the object's thread.
  void Silence() { m_silenced.store(true, std::memory_order_release); }
  // Undoes Silence, for a release that did not happen after all.
  void Unsilence() { m_silenced.store(false, std::memory_order_release); }

  control::CLinvoCtrl& Control() { return *m_control; }

 private:
  class Connection;

  // Frees the connections disconnected while an event was running.
  void Sweep();

  uint64_t m_thread;  // the creating thread's serial number
  std::unique_ptr<control::CLinvoCtrl> m_control;
  std::vector<std::unique_ptr<Connection>> m_connections;
  int m_eventDepth = 0;
  std::atomic<bool> m_silenced{false};
};

}  // namespace linvo::module
