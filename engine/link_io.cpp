// Link primitives of the text protocol: writes with line checks, the block check and the
// NAK-driven re-receive; the line reads of DSR and CTS, the failure dump and the system's reason
// of a failed line call. The receives of both protocols are in receive.cpp.

#include <algorithm>
#include <mutex>
#include <string>

#include "engine/codec.h"
#include "engine/comm_port.h"
#include "platform/clock.h"
#include "platform/error_text.h"

namespace linvo::engine {
namespace {

using codec::Elapsed;
using codec::Remaining;
using platform::IoStatus;
using platform::TickCount;
using platform::WaitOutcome;
using platform::WaitResult;

}  // namespace

int CCommPort::CalcBCC(const uint8_t* bytes, int count, uint8_t* bcc) {
  *bcc = codec::CalcBcc({bytes, static_cast<std::size_t>(count > 0 ? count : 0)});
  return 1;
}

bool CCommPort::DsrOn(int* error) {
  uint32_t status = 0;
  if (!m_hComm) return false;
  const platform::LineResult read = m_hComm->GetModemStatus(&status);
  if (!read && error != nullptr) *error = read.error;
  return read && (status & platform::kMsDsrOn) != 0;
}

int CCommPort::IsDSROn() { return DsrOn(nullptr) ? 1 : 0; }

int CCommPort::IsCTSOn() {
  uint32_t status = 0;
  return m_hComm && m_hComm->GetModemStatus(&status) && (status & platform::kMsCtsOn) ? 1 : 0;
}

void CCommPort::TraceDump(const uint8_t* data, std::size_t length) const {
  if (!LogOn()) return;
  if (auto log = Log()) log->WriteDump(kLevelInfo, data, static_cast<int>(length));
}

Result CCommPort::FailDump(std::string_view text, const uint8_t* bytes, std::size_t count,
                           Message message) {
  Trace(kLevelInfo, kInfo, text);
  TraceDump(bytes, count);
  TraceMessage(message);
  return CodeOf(message);
}

void CCommPort::KeepSystemError(int error) {
  if (error == 0) return;
  std::string text = platform::SystemErrorText(error);
  // At the error level, as the open's reason, so that an errors-only trace keeps it too.
  Trace(kLevelError, kErrInfo, FormatSystemError(error, text));
  SetLastErrorText(std::move(text));
}

void CCommPort::TraceLineNotes() {
  if (!m_hComm) return;
  for (const std::string& note : m_hComm->TakeNotes()) Trace(kLevelInfo, kInfo, note);
}

bool CCommPort::WaitLineOn(uint32_t bit, int32_t timeout, int* error) {
  const uint32_t began = TickCount();
  for (;;) {
    const WaitOutcome w = m_hComm->WaitModemLines(bit, Remaining(began, timeout), nullptr);
    if (w == WaitResult::kReady) return true;
    if (w == WaitResult::kFailed) {
      *error = w.error;
      return false;
    }
    if (Elapsed(began) > static_cast<uint32_t>(timeout)) return false;
  }
}

Result CCommPort::WaitLinesBeforeWrite(int32_t timeout, int16_t dsrCheck, bool ctsWait) {
  int error = 0;
  if (dsrCheck && !WaitLineOn(platform::kMsDsrOn, timeout, &error)) {
    TraceMessage(Message::kDsrTimeout);
    KeepSystemError(error);
    return kDsrError;
  }
  if (ctsWait && !WaitLineOn(platform::kMsCtsOn, timeout, &error)) {
    TraceMessage(Message::kCtsTimeout);
    KeepSystemError(error);
    return kCtsTimeout;
  }
  return kSuccess;
}

// With the line's DSR output flow on, output is held while DSR is off, as a driver with DSR flow
// in hardware holds it (a tty cannot express it): the write call waits for DSR for at most the
// driver's write time-out and, if DSR stays off, moves no bytes. The write loop then goes back
// through the line checks and ends in 112 with the DSR check on, else in 200 (Send1) once the
// operation's time-out has passed, as any held output does. A stop request ends the hold as a
// passed time-out.
WaitOutcome CCommPort::WaitDsrFlow() {
  platform::DeviceControlBlock dcb;
  if (!m_hComm->GetState(&dcb) || !dcb.fOutxDsrFlow) return WaitResult::kReady;
  platform::CommTimeouts timeouts;
  const uint32_t limit = m_hComm->GetTimeouts(&timeouts) ? timeouts.WriteTotalTimeoutConstant : 0;
  const int wait = limit > 0 ? static_cast<int>(std::min<uint32_t>(limit, INT32_MAX)) : -1;
  return m_hComm->WaitModemLines(platform::kMsDsrOn, wait, ReceiveWake());
}

void CCommPort::PauseBeforeWrite() {
  if (int32_t delay = m_nDelay.load(); delay > 0) WaitForStop(delay, 0);
}

Result CCommPort::WriteAll(const uint8_t* bytes, std::size_t total, int32_t timeout,
                           int16_t dsrCheck, bool ctsWait, bool dumpOnError) {
  std::size_t sent = 0;
  std::size_t last = 0;
  const uint32_t start = TickCount();
  auto writeFailed = [&](Message m, int error) {
    if (dumpOnError) {
      FailDump(codec::kErrorDumpBinaryText, bytes, sent, m);
    } else {
      TraceMessage(m);
    }
    KeepSystemError(error);
    return CodeOf(m);
  };
  do {
    if (last == 0) {
      if (Result r = WaitLinesBeforeWrite(timeout, dsrCheck, ctsWait); r != kSuccess) return r;
      // Time-out 0 waits for progress without limit, as the driver's own write time-out ends
      // every write call.
      if (timeout != 0 && Elapsed(start) > static_cast<uint32_t>(timeout)) {
        TraceMessage(Message::kSend1);
        return kSendError;
      }
    }
    PauseBeforeWrite();
    const WaitOutcome held = WaitDsrFlow();
    if (held == WaitResult::kWoken) {
      TraceMessage(Message::kSend1);
      return kSendError;
    }
    platform::IoResult r = held == WaitResult::kTimeout
                               ? platform::IoResult{IoStatus::kOk, 0}
                               : m_hComm->Write(bytes + sent, total - sent);
    if (r.status == IoStatus::kWaitFailed) return writeFailed(Message::kSend2, r.error);
    if (r.status == IoStatus::kFailedAtOnce) return writeFailed(Message::kSend3, r.error);
    last = r.bytes;
    sent += last;
  } while (sent < total);
  return kSuccess;
}

Result CCommPort::WriteComm(const uint8_t* bytes, int count, int32_t timeout, int16_t dsrCheck) {
  std::lock_guard<std::recursive_mutex> hold(m_csWrite);
  Trace(kLevelInfo, kInfo, "Start WriteComm Method");
  m_hComm->Purge(platform::kPurgeTxClear);
  const std::size_t total = count > 0 ? static_cast<std::size_t>(count) : 0;
  if (Result r = WriteAll(bytes, total, timeout, dsrCheck, true, false); r != kSuccess) return r;
  TraceDump(bytes, total);
  Trace(kLevelInfo, kInfo, "End WriteComm Method");
  return kSuccess;
}

Result CCommPort::RetryBCC(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (Result r = WriteComm(codec::kNakMessage, 1, timeout, dsrCheck); r != kSuccess) return r;
    *length = kReceiveCapacity;
    if (Result r = ReadComm(buffer, length, timeout, dsrCheck); r != kSuccess) return r;
    if (codec::BccOk({buffer, static_cast<std::size_t>(*length)})) return kSuccess;
  }
  TraceMessage(Message::kBccRetryError);
  return kBccError;
}

}  // namespace linvo::engine
