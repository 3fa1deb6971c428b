// Background receives: the start operations, the comm-event registration and stopping the
// port's threads.
#include <optional>

#include "engine/comm_port.h"
#include "engine/operation_bracket.h"

namespace linvo::engine {

// What a start operation asks of the shared start sequence.
struct CCommPort::StartRequest {
  // The worker's time-out, DSR check and mask; a negative time-out is refused with 100.
  StartRequest(uint16_t workerKind, void (CCommPort::*workerProcedure)(Worker&), int32_t timeout,
               int16_t dsrCheck, uint32_t mask)
      : kind(workerKind), procedure(workerProcedure) {
    params.timeout = timeout;
    params.dsrCheck = dsrCheck;
    params.mask = mask;
    if (timeout < 0) refusal = Message::kParameterError;
  }

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

// The callback-style starts take the DSR check (and the binary report its CTS check) from the
// mask's bits for those failures.
// The callback parameter and, for the message-reported starts, the port number are accepted and
// not used: reports go to the port's own window and from there to the port's control window.
namespace {
constexpr uint32_t kDsrBit = 0x0400;
constexpr uint32_t kCtsBit = 0x0200;
}  // namespace

Result CCommPort::ReceiveResponseCallback(Caller caller, int16_t mode, int32_t timeout,
                                          ResponseCallback callback, int32_t /*param*/,
                                          uint32_t mask) {
  StartRequest r(THREADTYPE_RESPONSE, &CCommPort::ResponseCallbackWorker, timeout,
                 (mask & kDsrBit) ? 1 : 0, mask);
  r.params.mode = mode;
  r.params.responseCallback = callback;
  r.stopOnly = callback == nullptr;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveBinaryReportAsync(Caller caller, int32_t timeout, BinaryCallback callback,
                                           int32_t /*param*/, uint32_t mask) {
  StartRequest r(THREADTYPE_BINARY, &CCommPort::BinaryReportWorker, timeout,
                 (mask & kDsrBit) ? 1 : 0, mask);
  r.params.ctsCheck = (mask & kCtsBit) ? 1 : 0;
  r.params.binaryCallback = callback;
  r.stopOnly = callback == nullptr;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveResponseAsync(Caller caller, int16_t /*portNo*/, int32_t responseTimer,
                                       int32_t busyTimer, int16_t dsrCheck) {
  // The response poll has no mask: it reports every outcome.
  StartRequest r(THREADTYPE_RESPONSE, &CCommPort::ResponseWorker, responseTimer, dsrCheck, 0);
  r.params.busyTimer = busyTimer;
  if (responseTimer < 0) {
    r.refusal = Message::kResponseTimerParameter;
  } else if (busyTimer < 0) {
    r.refusal = Message::kBusyTimerParameter;
  }
  r.namedBusy = true;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveDataAsync(Caller caller, int16_t /*portNo*/, int16_t ackMode,
                                   int32_t timeout, int16_t dsrCheck, uint32_t mask) {
  StartRequest r(THREADTYPE_BCC, &CCommPort::DataBCCWorker, timeout, dsrCheck, mask);
  r.params.ackMode = ackMode;
  return StartBackground(caller, r);
}

Result CCommPort::ReceiveDataHFAsync(Caller caller, int16_t /*portNo*/, int16_t twoPart,
                                     int32_t timeout, int16_t dsrCheck, uint32_t mask) {
  StartRequest r(THREADTYPE_HF, &CCommPort::DataHFWorker, timeout, dsrCheck, mask);
  r.params.twoPart = twoPart;
  return StartBackground(caller, r);
}

Result CCommPort::WatchCommEvents(Caller caller, CommCallback callback, int32_t /*param*/,
                                  uint32_t mask) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.FailWithoutExit(Message::kNotOpenedYet);
  if (callback == nullptr) {
    m_pfnCommCallback.store(nullptr);
    UpdateEventHold();
    return bracket.Succeed(kSuccess);
  }
  if (m_pfnCommCallback.load() != nullptr) return bracket.Fail(Message::kAlreadyRegistered);
  m_lCommEventMask.store(mask);
  m_pfnCommCallback.store(callback);
  UpdateEventHold();
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
