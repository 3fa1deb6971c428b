// The trace bracket every port operation runs in: trace "Enter   ", take the operation lock,
// trace "CSLock  ", do the work, then close with one of the endings below. The caller's bracket
// role decides whether the opening lines are written and whether a successful ending writes its
// closing lines. Every ending releases the lock; the destructor releases it too (without trace
// lines) if an operation returns some other way, and clears the synchronous-exchange flag it set.
#pragma once

#include <mutex>
#include <string_view>

#include "engine/caller.h"
#include "engine/comm_port.h"
#include "engine/result_codes.h"

namespace linvo::engine {

class OperationFrame {
 public:
  OperationFrame(CCommPort& port, Caller caller);
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
  // A success that ends the operation as the caller's role says: Succeed when it closes the
  // bracket, else a silent unlock (the next operation of the chain goes on with the bracket).
  Result Finish(Result result);

  // Building blocks for operations with their own endings.
  void Info(std::string_view text);
  void ReturnValue(Result result);  // "Info    " "Return Value is %d"
  void ErrInfo(Message message, int extra = 0);
  void Unlock(bool traced = true);  // "CSUnlock" (when traced), then release
  void ExitLine();
  void ErrExitLine();

  const char* CallerName() const { return m_caller.name; }
  CCommPort& Port() { return m_port; }

 private:
  CCommPort& m_port;
  Caller m_caller;
  std::unique_lock<std::recursive_mutex> m_lock;
  bool m_exchange = false;
};

}  // namespace linvo::engine
