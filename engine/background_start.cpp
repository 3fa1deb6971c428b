// Background receives: the start operations, the comm-event registration and stopping the
// port's threads.
#include <optional>

#include "engine/comm_port.h"
#include "engine/operation_bracket.h"

namespace linvo::engine {

// What a start operation asks of the shared start sequence.
struct CCommPort::StartRequest {
  StartRequest(uint16_t workerKind, void (CCommPort::*workerProcedure)(Worker&))
      : kind(workerKind), procedure(workerProcedure) {}

  uint16_t kind;
  void (CCommPort::*procedure)(Worker&);
  WorkerParams params;
  // Set when a parameter is refused; checked after the open check.
  std::optional<Message> refusal;
  // A null callback: ask a running worker of this kind to stop instead of starting one.
  bool stopOnly = false;
  // A refusal with 140 names the running kind.
  bool namedBusy = false;
};

Result CCommPort::StartBackground(Caller caller, const StartRequest& request) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.FailWithoutExit(Message::kNotOpenedYet);
  if (request.refusal) return bracket.Fail(*request.refusal);
  bracket.BeginExchange();
  auto refuse = [&](uint16_t running) {
    if (running == request.kind) return bracket.Fail(Message::kAlreadyRegistered);
    if (request.namedBusy) return bracket.Fail(Message::kThreadTypeBusy, running);
    return bracket.Fail(Message::kPortBusy);
  };
  if (request.stopOnly) {
    const uint16_t running = m_workerSlot.RunningKind(ReportsCanArrive());
    if (running == 0) return bracket.Succeed(kSuccess);
    if (running != request.kind) return bracket.Fail(Message::kPortBusy);
    m_workerSlot.RequestStop();
    return bracket.Succeed(kSuccess);
  }
  uint16_t running = 0;
  switch (m_workerSlot.Start(
      request.kind, request.params,
      [this, procedure = request.procedure](Worker& self) { (this->*procedure)(self); },
      ReportsCanArrive(), &running)) {
    case WorkerSlot::StartOutcome::kStarted:
      return bracket.Succeed(kSuccess);
    case WorkerSlot::StartOutcome::kOccupied:
      return refuse(running);
    case WorkerSlot::StartOutcome::kThreadFailed:
      break;
  }
  return bracket.Fail(Message::kThreadFailed);
}

Result CCommPort::ReceiveResponseCallback(Caller caller, int16_t mode, int32_t timeout,
                                          ResponseCallback callback, int32_t param, uint32_t mask) {
  StartRequest r(THREADTYPE_RESPONSE, &CCommPort::ResponseCallbackWorker);
  r.params.mode = mode;
  r.params.timeout = timeout;
  r.params.responseCallback = callback;
  r.params.mask = mask;
  r.params.dsrCheck = (mask & 0x0400) ? 1 : 0;
  if (timeout < 0) r.refusal = Message::kParameterError;
  r.stopOnly = callback == nullptr;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveBinaryReportAsync(Caller caller, int32_t timeout, BinaryCallback callback,
                                           int32_t param, uint32_t mask) {
  StartRequest r(THREADTYPE_BINARY, &CCommPort::BinaryReportWorker);
  r.params.timeout = timeout;
  r.params.binaryCallback = callback;
  r.params.mask = mask;
  r.params.dsrCheck = (mask & 0x0400) ? 1 : 0;
  r.params.ctsCheck = (mask & 0x0200) ? 1 : 0;
  if (timeout < 0) r.refusal = Message::kParameterError;
  r.stopOnly = callback == nullptr;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveResponseAsync(Caller caller, int16_t portNo, int32_t responseTimer,
                                       int32_t busyTimer, int16_t dsrCheck) {
  StartRequest r(THREADTYPE_RESPONSE, &CCommPort::ResponseWorker);
  r.params.timeout = responseTimer;
  r.params.busyTimer = busyTimer;
  r.params.dsrCheck = dsrCheck;
  if (responseTimer < 0) {
    r.refusal = Message::kResponseTimerParameter;
  } else if (busyTimer < 0) {
    r.refusal = Message::kBusyTimerParameter;
  }
  r.namedBusy = true;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveDataAsync(Caller caller, int16_t portNo, int16_t ackMode, int32_t timeout,
                                   int16_t dsrCheck, uint32_t mask) {
  StartRequest r(THREADTYPE_BCC, &CCommPort::DataBCCWorker);
  r.params.ackMode = ackMode;
  r.params.timeout = timeout;
  r.params.dsrCheck = dsrCheck;
  r.params.mask = mask;
  if (timeout < 0) r.refusal = Message::kParameterError;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveDataHFAsync(Caller caller, int16_t portNo, int16_t twoPart,
                                     int32_t timeout, int16_t dsrCheck, uint32_t mask) {
  StartRequest r(THREADTYPE_HF, &CCommPort::DataHFWorker);
  r.params.twoPart = twoPart;
  r.params.timeout = timeout;
  r.params.dsrCheck = dsrCheck;
  r.params.mask = mask;
  if (timeout < 0) r.refusal = Message::kParameterError;
  return StartBackground(caller, r);
}

Result CCommPort::WatchCommEvents(Caller caller, CommCallback callback, int32_t param,
                                  uint32_t mask) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.FailWithoutExit(Message::kNotOpenedYet);
  if (callback == nullptr) {
    m_pfnCommCallback.store(nullptr);
    return bracket.Succeed(kSuccess);
  }
  if (m_pfnCommCallback.load() != nullptr) return bracket.Fail(Message::kAlreadyRegistered);
  m_lCommEventMask.store(mask);
  m_pfnCommCallback.store(callback);
  return bracket.Succeed(kSuccess);
}

bool CCommPort::RequestWorkerStop() {
  if (!WorkerBusy()) return false;
  m_workerSlot.RequestStop();
  return true;
}

bool CCommPort::ReportsCanArrive() const { return platform::IsMessageWindow(m_hWnd); }

void CCommPort::StopThreads() {
  m_workerSlot.StopAndJoin();
  if (m_pWatchThread) {
    m_watchStop.Set();
    m_pWatchThread->join();
    m_pWatchThread.reset();
  }
}

}  // namespace linvo::engine
