// What linvo-sim takes from the system it runs on: its stop requests, its standard input as the
// stream of control commands, and the line it serves when none is named. One implementation per
// system (host_system_posix.cpp, host_system_win.cpp), each as handles the main loop waits on.
#pragma once

#include <memory>
#include <string>

#include "platform/wake_event.h"
#include "sim/endpoint.h"

namespace linvo::sim {

// Stop requests: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and the console's closing on
// Windows. From construction on they no longer end the process but make Handle() ready, until
// the object goes. Construct it before any thread starts (POSIX blocks the signals in every
// thread, and threads inherit the mask). Throws std::system_error when the system refuses.
class StopRequests {
 public:
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  platform::NativeWaitHandle Handle() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// Standard input as control commands arrive on it.
class ControlInput {
 public:
  ControlInput();
  ~ControlInput();
  ControlInput(const ControlInput&) = delete;
  ControlInput& operator=(const ControlInput&) = delete;

  // Ready while input is waiting or standard input has ended.
  platform::NativeWaitHandle Handle() const;
  // Appends what has arrived to *text without waiting. False once standard input has ended (or
  // failed) and everything before the end was taken.
  bool Read(std::string* text);

 private:
  struct State;
  std::shared_ptr<State> m_state;
};

struct ServedLine {
  std::unique_ptr<Endpoint> endpoint;
  std::string device;  // what a host opens ("/dev/pts/3")
};
// The line served when --port is not given: a new pseudo-terminal on POSIX. Windows has none.
// False with *error saying why.
bool OpenDefaultLine(ServedLine* line, std::string* error);

}  // namespace linvo::sim
