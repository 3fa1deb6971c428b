// The trace bracket every port operation runs in: trace "Enter   ", take the operation lock,
// trace "CSLock  ", do the work, then close with exactly one of the endings below. The caller's
// bracket role decides whether the opening lines are written and whether a successful ending
// writes its closing lines. Every ending releases the lock; the destructor releases it too
// (without trace lines) if an operation returns some other way, and clears the
// synchronous-exchange flag it set.
//
// The endings are the only way to close a bracket: the lines they are made of stay private, so
// every operation's trace has one of these shapes.
#pragma once

#include <mutex>
#include <string_view>

#include "engine/caller.h"
#include "engine/comm_port.h"
#include "engine/result_codes.h"

namespace linvo::engine {

class OperationBracket {
 public:
  OperationBracket(CCommPort& port, Caller caller);
  ~OperationBracket();
  OperationBracket(const OperationBracket&) = delete;
  OperationBracket& operator=(const OperationBracket&) = delete;

  // Marks a synchronous exchange on the line until the bracket ends.
  void BeginExchange();
  // An "Info    " line inside the bracket.
  void Info(std::string_view text);

  // ---- endings ----
  // "ErrInfo " with the message, "CSUnlock", unlock, "ErrExit "; returns the message's code.
  Result Fail(Message message, int extra = 0);
  // A primitive already wrote its "ErrInfo ": "CSUnlock", unlock, "ErrExit "; returns code.
  Result PassOn(Result code);
  // "Info    " "Return Value is %d", "CSUnlock", unlock, "Exit    "; returns result.
  Result Succeed(Result result);
  // A success that ends the operation as the caller's role says: Succeed when it closes the
  // bracket, else a silent unlock (the next operation of the chain goes on with the bracket).
  Result Finish(Result result);
  // A failure delivered with its data and reported by its value alone: "Info    " "Return Value
  // is %d", "CSUnlock", unlock, "ErrExit " (no "ErrInfo " line).
  Result DeliverWithError(Result code);
  // A failure without any further trace line (a platform call on the line failed): unlock and
  // return code.
  Result FailSilently(Result code);
  // "CSUnlock", unlock, "Exit    " without a "Return Value" line, whatever the result.
  Result ExitWith(Result result);
  // "Info    " "Return Value is TRUE" or "... FALSE", "CSUnlock", unlock, "ErrExit "; returns
  // 1 or 0.
  int32_t ReturnTruth(bool value);
  // "ErrInfo " with the message, "CSUnlock", unlock and no exit line; returns the message's
  // code.
  Result FailWithoutExit(Message message);

 private:
  void EndExchange();
  void ReturnValue(Result result);  // "Info    " "Return Value is %d"
  void Unlock(bool traced);         // "CSUnlock" (when traced), then release
  void ExitLine();
  void ErrExitLine();

  CCommPort& m_port;
  Caller m_caller;
  std::unique_lock<std::recursive_mutex> m_lock;
  bool m_exchange = false;
};

}  // namespace linvo::engine
