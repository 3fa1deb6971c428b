#include "engine/operation_bracket.h"

#include <string>

namespace linvo::engine {

OperationBracket::OperationBracket(CCommPort& port, Caller caller)
    : m_port(port), m_caller(caller), m_lock(port.m_csPort, std::defer_lock) {
  if (m_caller.Opens()) m_port.Trace(kLevelInfo, kEnter, m_caller.name);
  m_lock.lock();
  if (m_caller.Opens()) m_port.Trace(kLevelInfo, kCSLock, m_caller.name);
}

OperationBracket::~OperationBracket() {
  EndExchange();
  if (m_lock.owns_lock()) m_lock.unlock();
}

void OperationBracket::BeginExchange() {
  m_exchange = true;
  m_port.BeginSyncExchange();
}

void OperationBracket::Info(std::string_view text) { m_port.Trace(kLevelInfo, kInfo, text); }

Result OperationBracket::Fail(Message message, int extra) {
  m_port.TraceMessage(message, extra);
  return PassOn(CodeOf(message));
}

Result OperationBracket::PassOn(Result code) {
  Unlock(true);
  ErrExitLine();
  return code;
}

Result OperationBracket::Succeed(Result result) {
  EndExchange();
  ReturnValue(result);
  Unlock(true);
  ExitLine();
  return result;
}

Result OperationBracket::Finish(Result result) {
  if (m_caller.Closes()) return Succeed(result);
  return FailSilently(result);
}

Result OperationBracket::DeliverWithError(Result code) {
  EndExchange();
  ReturnValue(code);
  return PassOn(code);
}

Result OperationBracket::FailSilently(Result code) {
  Unlock(false);
  return code;
}

Result OperationBracket::ExitWith(Result result) {
  Unlock(true);
  ExitLine();
  return result;
}

int32_t OperationBracket::ReturnTruth(bool value) {
  Info(value ? "Return Value is TRUE" : "Return Value is FALSE");
  Unlock(true);
  ErrExitLine();
  return value ? 1 : 0;
}

Result OperationBracket::FailWithoutExit(Message message) {
  m_port.TraceMessage(message);
  Unlock(true);
  return CodeOf(message);
}

void OperationBracket::EndExchange() {
  if (m_exchange) {
    m_exchange = false;
    m_port.EndSyncExchange();
  }
}

void OperationBracket::ReturnValue(Result result) {
  if (m_port.LogOn()) Info("Return Value is " + std::to_string(result));
}

void OperationBracket::Unlock(bool traced) {
  EndExchange();
  if (!m_lock.owns_lock()) return;
  if (traced) m_port.Trace(kLevelInfo, kCSUnlock, m_caller.name);
  m_lock.unlock();
}

void OperationBracket::ExitLine() { m_port.Trace(kLevelInfo, kExit, m_caller.name); }

void OperationBracket::ErrExitLine() { m_port.Trace(kLevelInfo, kErrExit, m_caller.name); }

}  // namespace linvo::engine
