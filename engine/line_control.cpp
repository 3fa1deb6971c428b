// Short operations on the line itself: flow-control checks, modem status, claimed state,
// transmit purge, event mask, cancel request, DTR/RTS/break.
#include <cstring>

#include "engine/comm_port.h"
#include "engine/operation_bracket.h"

namespace linvo::engine {

Result CCommPort::SetCommSettings(Caller caller, int16_t dsrFlow, int16_t ctsFlow) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  platform::DeviceControlBlock dcb;
  bool ok = m_hComm->GetState(&dcb);
  if (ok) {
    dcb.fOutxDsrFlow = dsrFlow != 0;
    dcb.fOutxCtsFlow = ctsFlow != 0;
    ok = m_hComm->SetState(dcb);
    TraceLineNotes();
  }
  if (!ok) {
    // The line is closed and the port counts as closed from now on: later operations report
    // 101 and the next OpenPort opens it afresh.
    StopThreads();
    m_hComm.reset();
    m_nState.store(kStateClosed);
    return bracket.Fail(Message::kParameterError);
  }
  return bracket.Succeed(kSuccess);
}

Result CCommPort::GetModemStatus(Caller caller, uint32_t* status) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  uint32_t value = 0;
  if (!m_hComm->GetModemStatus(&value)) return bracket.FailSilently(kStateError);
  if (status != nullptr) *status = value;
  return bracket.Succeed(kSuccess);
}

int32_t CCommPort::IsClaimed(Caller caller) {
  OperationBracket bracket(*this, caller);
  return bracket.ReturnTruth(IsOpen());
}

Result CCommPort::PurgeBuffers(Caller caller) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (!m_hComm->Purge(platform::kPurgeTxClear)) return bracket.FailSilently(kStateError);
  // The full clear goes on with the receive-side clear, which closes the pair's bracket.
  return bracket.Finish(kSuccess);
}

Result CCommPort::SetEventMask(Caller caller, uint32_t mask) {
  OperationBracket bracket(*this, caller);
  m_lCommEventMask.store(mask);
  UpdateEventHold();
  return bracket.ExitWith(kSuccess);
}

Result CCommPort::SetCancelFlag(Caller caller, int32_t flag) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  Result result = kSuccess;
  if (!WorkerBusy()) {
    result = kStateError;
  } else if (flag == 1) {
    RequestWorkerStop();
  }
  return bracket.ExitWith(result);
}

Result CCommPort::SetLineControl(Caller caller, int32_t selector, int32_t state) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  static constexpr uint32_t kOn[] = {platform::kSetDtr, platform::kSetRts, platform::kSetBreak};
  static constexpr uint32_t kOff[] = {platform::kClrDtr, platform::kClrRts, platform::kClrBreak};
  Result result = kStateError;
  if (selector >= 1 && selector <= 3) {
    uint32_t function = state == 1 ? kOn[selector - 1] : kOff[selector - 1];
    if (m_hComm->EscapeFunction(function)) result = kSuccess;
    TraceLineNotes();
  }
  return bracket.ExitWith(result);
}

}  // namespace linvo::engine
