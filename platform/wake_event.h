// A pollable wake-up descriptor (eventfd): waits that block in poll() include it so that a stop
// request interrupts them at once.
#pragma once

namespace linvo::platform {

class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Signal();      // makes Fd() readable until Clear()
  void Clear();       // drains it
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace linvo::platform
