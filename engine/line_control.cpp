// Short operations on the line itself: flow-control checks, modem status, claimed state,
// transmit purge, event mask, cancel request, DTR/RTS/break.
#include <cstring>

#include "engine/comm_port.h"
#include "engine/operation_frame.h"

namespace linvo::engine {

Result CCommPort::SetCommSettings(Caller caller, int16_t dsrFlow, int16_t ctsFlow) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  platform::DeviceControlBlock dcb;
  bool ok = m_hComm->GetState(&dcb);
  if (ok) {
    dcb.fOutxDsrFlow = dsrFlow != 0;
    dcb.fOutxCtsFlow = ctsFlow != 0;
    ok = m_hComm->SetState(dcb);
  }
  if (!ok) {
    // The line is closed and the port counts as closed from now on: later operations report
    // 101 and the next OpenPort opens it afresh.
    StopThreads();
    m_hComm.reset();
    m_nState.store(kStateClosed);
    return frame.Fail(Message::kParameterError);
  }
  return frame.Succeed(kSuccess);
}

Result CCommPort::GetModemStatus(Caller caller, uint32_t* status) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  uint32_t value = 0;
  if (!m_hComm->GetModemStatus(&value)) {
    frame.Unlock(false);
    return kStateError;
  }
  if (status != nullptr) *status = value;
  return frame.Succeed(kSuccess);
}

int32_t CCommPort::IsClaimed(Caller caller) {
  OperationFrame frame(*this, caller);
  bool open = IsOpen();
  frame.Info(open ? "Return Value is TRUE" : "Return Value is FALSE");
  frame.Unlock();
  frame.ErrExitLine();
  return open ? 1 : 0;
}

Result CCommPort::PurgeBuffers(Caller caller) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (!m_hComm->Purge(platform::kPurgeTxClear)) {
    frame.Unlock(false);
    return kStateError;
  }
  // The full clear goes on with the receive-side clear, which closes the pair's bracket.
  return frame.Finish(kSuccess);
}

Result CCommPort::SetEventMask(Caller caller, uint32_t mask) {
  OperationFrame frame(*this, caller);
  m_lCommEventMask.store(mask);
  frame.Unlock();
  frame.ExitLine();
  return kSuccess;
}

Result CCommPort::SetCancelFlag(Caller caller, int32_t flag) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  Result result = kSuccess;
  if (m_pWorkerThread.load() == nullptr) {
    result = kStateError;
  } else if (flag == 1) {
    m_bWorkerStop.store(1);
    m_wake.Signal();
  }
  frame.Unlock();
  frame.ExitLine();
  return result;
}

Result CCommPort::SetLineControl(Caller caller, int32_t selector, int32_t state) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  static constexpr uint32_t kOn[] = {platform::kSetDtr, platform::kSetRts, platform::kSetBreak};
  static constexpr uint32_t kOff[] = {platform::kClrDtr, platform::kClrRts, platform::kClrBreak};
  Result result = kStateError;
  if (selector >= 1 && selector <= 3) {
    uint32_t function = state == 1 ? kOn[selector - 1] : kOff[selector - 1];
    if (m_hComm->EscapeFunction(function)) result = kSuccess;
  }
  frame.Unlock();
  frame.ExitLine();
  return result;
}

}  // namespace linvo::engine
