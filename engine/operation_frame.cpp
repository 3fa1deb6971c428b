#include "engine/operation_frame.h"

#include <string>

namespace linvo::engine {

OperationFrame::OperationFrame(CCommPort& port, Caller caller)
    : m_port(port), m_caller(caller), m_lock(port.m_csPort, std::defer_lock) {
  if (m_caller.Opens()) m_port.Trace(kLevelInfo, kEnter, m_caller.name);
  m_lock.lock();
  if (m_caller.Opens()) m_port.Trace(kLevelInfo, kCSLock, m_caller.name);
}

OperationFrame::~OperationFrame() {
  EndExchange();
  if (m_lock.owns_lock()) m_lock.unlock();
}

void OperationFrame::BeginExchange() {
  m_exchange = true;
  m_port.m_bSyncBusy.store(1);
}

void OperationFrame::EndExchange() {
  if (m_exchange) {
    m_exchange = false;
    m_port.m_bSyncBusy.store(0);
  }
}

Result OperationFrame::Fail(Message message, int extra) {
  ErrInfo(message, extra);
  return PassOn(CodeOf(message));
}

Result OperationFrame::PassOn(Result code) {
  EndExchange();
  Unlock();
  ErrExitLine();
  return code;
}

Result OperationFrame::Succeed(Result result) {
  EndExchange();
  ReturnValue(result);
  Unlock();
  ExitLine();
  return result;
}

Result OperationFrame::Finish(Result result) {
  if (m_caller.Closes()) return Succeed(result);
  Unlock(false);
  return result;
}

void OperationFrame::Info(std::string_view text) { m_port.Trace(kLevelInfo, kInfo, text); }

void OperationFrame::ReturnValue(Result result) {
  Info("Return Value is " + std::to_string(result));
}

void OperationFrame::ErrInfo(Message message, int extra) { m_port.TraceMessage(message, extra); }

void OperationFrame::Unlock(bool traced) {
  EndExchange();
  if (!m_lock.owns_lock()) return;
  if (traced) m_port.Trace(kLevelInfo, kCSUnlock, m_caller.name);
  m_lock.unlock();
}

void OperationFrame::ExitLine() { m_port.Trace(kLevelInfo, kExit, m_caller.name); }

void OperationFrame::ErrExitLine() { m_port.Trace(kLevelInfo, kErrExit, m_caller.name); }

}  // namespace linvo::engine
