// The frame every port operation runs in: trace "Enter   ", take the operation lock, trace
// "CSLock  ", do the work, then close with one of the endings below. Every ending releases the
// lock; the destructor releases it too (without trace lines) if an operation returns some other
// way, and clears the synchronous-exchange flag it set.
#pragma once

#include <mutex>
#include <string_view>

#include "engine/comm_port.h"
#include "engine/result_codes.h"

namespace linvo::engine {

class OperationFrame {
 public:
  enum class Entry { kTraced, kQuiet };  // kQuiet leaves out "Enter   " and "CSLock  "

  OperationFrame(CCommPort& port, const char* caller, Entry entry = Entry::kTraced);
  ~OperationFrame();
  OperationFrame(const OperationFrame&) = delete;
  OperationFrame& operator=(const OperationFrame&) = delete;

  // Marks a synchronous exchange on the line until the frame ends.
  void BeginExchange();
  void EndExchange();

  // "ErrInfo " with the message, "CSUnlock", unlock, "ErrExit "; returns the message's code.
  Result Fail(Message message, int extra = 0);
  // A primitive already wrote its "ErrInfo ": "CSUnlock", unlock, "ErrExit "; returns code.
  Result PassOn(Result code);
  // "Info    " "Return Value is %d", "CSUnlock", unlock, "Exit    "; returns result.
  Result Succeed(Result result);

  // Building blocks for operations with their own endings.
  void Info(std::string_view text);
  void ReturnValue(Result result);  // "Info    " "Return Value is %d"
  void ErrInfo(Message message, int extra = 0);
  void Unlock(bool traced = true);  // "CSUnlock" (when traced), then release
  void ExitLine();
  void ErrExitLine();

  const char* Caller() const { return m_caller; }
  CCommPort& Port() { return m_port; }

 private:
  CCommPort& m_port;
  const char* m_caller;
  std::unique_lock<std::recursive_mutex> m_lock;
  bool m_exchange = false;
};

}  // namespace linvo::engine
