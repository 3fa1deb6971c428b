// Receivers of the control's five events.
#pragma once

#include <cstdint>

#include "control/member_table.h"

namespace linvo::control {

// Receives every event as its entry of the event table and its argument. Events come on the
// thread that created the control, while that thread pumps its messages.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(const EventInfo& event, int32_t argument) = 0;
};

// A sink with one function per event, for C++ hosts; override the ones you need.
class LinvoEvents : public EventSink {
 public:
  virtual void lvoCommEvent(int32_t /*lEvent*/) {}
  virtual void lvoReceiveResponseEvent(int32_t /*lResponse*/) {}
  virtual void lvoReceiveBinaryReportEvent(int32_t /*lBinaryReport*/) {}
  virtual void lvoReceiveDataBCCEvent(int32_t /*lResponse*/) {}
  virtual void lvoReceiveDataHFEvent(int32_t /*lResponse*/) {}

  void OnEvent(const EventInfo& event, int32_t argument) final { (this->*event.handler)(argument); }
};

}  // namespace linvo::control
