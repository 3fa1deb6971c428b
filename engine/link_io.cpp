// Link primitives of the text protocol: writes with line checks, frame and acknowledgement
// receives with idle time-outs, the HF frame receive, the block check and NAK-driven re-receive.
//
// Receives wait in the kernel: after the bytes that are there have been taken, the line counts
// as idle once no byte has come for kQuietGapMs (the gap that ends a frame); after that, a wait
// blocks until a byte arrives, the time-out runs out or a stop request signals the port's
// wake-up descriptor.

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include "engine/codec.h"
#include "engine/comm_port.h"
#include "platform/clock.h"

namespace linvo::engine {
namespace {

using codec::kQuietGapMs;
using codec::Remaining;
using platform::IoStatus;
using platform::TickCount;
using platform::WaitResult;

// While a receive checks DSR, its waits are cut into slices of this length so that DSR dropping
// ends the receive promptly (the line reports no change of its own to a waiting reader).
constexpr int kDsrSliceMs = 10;
// A frame receive keeps at most this many bytes of a burst that never goes quiet: older bytes
// are dropped, so a device that streams without pause cannot exhaust memory. A frame is only
// delivered if it fits the caller's buffer; a longer one is never complete for the caller and
// the receive ends with 110 at its time-out.
constexpr std::size_t kMaxGather = 64 * 1024;
// The overall bound of a receive (ReceiveBoundMs): time-outs are idle time-outs, so a device
// that never falls quiet would hold a receive, and the port, for as long as it streams. A
// receive with a time-out therefore also ends with 110 once it has run for the time-out plus
// the time kStreamBuffers full receive buffers take at the line's speed (kBitsPerByte bits a
// byte, the longest character format), and never sooner than kMinStreamMs past the time-out.
// A device that answers with frames that fit the buffer stays far below it.
constexpr uint64_t kStreamBuffers = 4;
constexpr uint64_t kBitsPerByte = 12;
constexpr uint64_t kMinStreamMs = 500;
constexpr uint32_t kAssumedBaud = 9600;  // when the line cannot tell its speed

uint32_t Elapsed(uint32_t since) { return TickCount() - since; }

}  // namespace

int CCommPort::CalcBCC(const uint8_t* bytes, int count, uint8_t* bcc) {
  *bcc = codec::CalcBcc({bytes, static_cast<std::size_t>(count > 0 ? count : 0)});
  return 1;
}

int CCommPort::IsDSROn() {
  uint32_t status = 0;
  return m_hComm && m_hComm->GetModemStatus(&status) && (status & platform::kMsDsrOn) ? 1 : 0;
}

int CCommPort::IsCTSOn() {
  uint32_t status = 0;
  return m_hComm && m_hComm->GetModemStatus(&status) && (status & platform::kMsCtsOn) ? 1 : 0;
}

void CCommPort::TraceDump(const uint8_t* data, std::size_t length) const {
  if (!LogOn()) return;
  if (auto log = Log()) log->WriteDump(kLevelInfo, data, static_cast<int>(length));
}

WaitResult CCommPort::WaitForInput(int timeoutMs, int16_t dsrCheck) {
  if (dsrCheck && (timeoutMs < 0 || timeoutMs > kDsrSliceMs)) timeoutMs = kDsrSliceMs;
  return m_hComm->WaitReadable(timeoutMs, ReceiveWake());
}

bool CCommPort::WaitLineOn(uint32_t bit, int32_t timeout) {
  const uint32_t began = TickCount();
  for (;;) {
    WaitResult w = m_hComm->WaitModemLines(bit, Remaining(began, timeout), nullptr);
    if (w == WaitResult::kReady) return true;
    if (w == WaitResult::kFailed) return false;
    if (Elapsed(began) > static_cast<uint32_t>(timeout)) return false;
  }
}

WaitResult CCommPort::WaitQuiet(bool afterBytes) {
  return afterBytes ? m_hComm->WaitQuietGap(kQuietGapMs)
                    : m_hComm->WaitReadable(kQuietGapMs, nullptr);
}

std::optional<WaitResult> CCommPort::WaitFirstByte(int32_t timeout, int16_t dsrCheck) {
  if (timeout < 0 || dsrCheck != 0) return std::nullopt;
  return WaitForInput(timeout, 0);
}

WaitResult CCommPort::WaitForStop(int timeoutMs, int16_t dsrCheck) {
  if (dsrCheck && (timeoutMs < 0 || timeoutMs > kDsrSliceMs)) timeoutMs = kDsrSliceMs;
  return platform::WaitForWake(ReceiveWake(), timeoutMs) ? WaitResult::kWoken
                                                         : WaitResult::kTimeout;
}

Result CCommPort::FailDump(std::string_view text, const uint8_t* bytes, std::size_t count,
                           Message message) {
  Trace(kLevelInfo, kInfo, text);
  TraceDump(bytes, count);
  TraceMessage(message);
  return CodeOf(message);
}

Result CCommPort::FailedReceive(const uint8_t* bytes, std::size_t count, int16_t dsrCheck) {
  return FailDump(codec::kErrorDumpText, bytes, count,
                  dsrCheck && !IsDSROn() ? Message::kDsrError : Message::kReceive);
}

uint32_t CCommPort::ReceiveBoundMs(int32_t timeout, std::size_t capacity) {
  platform::DeviceControlBlock dcb;
  const uint64_t baud = m_hComm->GetState(&dcb) && dcb.BaudRate > 0 ? dcb.BaudRate : kAssumedBaud;
  const uint64_t bytes = kStreamBuffers * std::max<uint64_t>(capacity, kReceiveCapacity);
  const uint64_t streamMs = std::max(kMinStreamMs, bytes * kBitsPerByte * 1000 / baud);
  const uint64_t bound = static_cast<uint64_t>(std::max(timeout, 0)) + streamMs;
  return static_cast<uint32_t>(std::min<uint64_t>(bound, std::numeric_limits<int32_t>::max()));
}

Result CCommPort::WaitLinesBeforeWrite(int32_t timeout, int16_t dsrCheck, bool ctsWait) {
  if (dsrCheck && !WaitLineOn(platform::kMsDsrOn, timeout)) {
    TraceMessage(Message::kDsrTimeout);
    return kDsrError;
  }
  if (ctsWait && !WaitLineOn(platform::kMsCtsOn, timeout)) {
    TraceMessage(Message::kCtsTimeout);
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
WaitResult CCommPort::WaitDsrFlow() {
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
  auto writeFailed = [&](Message m) {
    if (!dumpOnError) {
      TraceMessage(m);
      return CodeOf(m);
    }
    return FailDump(codec::kErrorDumpBinaryText, bytes, sent, m);
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
    const WaitResult held = WaitDsrFlow();
    if (held == WaitResult::kWoken) {
      TraceMessage(Message::kSend1);
      return kSendError;
    }
    platform::IoResult r = held == WaitResult::kTimeout
                               ? platform::IoResult{IoStatus::kOk, 0}
                               : m_hComm->Write(bytes + sent, total - sent);
    if (r.status == IoStatus::kWaitFailed) return writeFailed(Message::kSend2);
    if (r.status == IoStatus::kFailedAtOnce) return writeFailed(Message::kSend3);
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

Result CCommPort::ReadComm(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  const bool ackMode = *length == 1;
  const std::size_t capacity = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  std::lock_guard<std::recursive_mutex> hold(m_csRead);
  Trace(kLevelInfo, kInfo, "Start ReadComm Method");
  std::vector<uint8_t> received;
  const uint32_t began = TickCount();
  // A negative time-out delivers at the first idle moment and never takes more than the buffer
  // holds, so it needs no overall bound.
  const uint32_t bound = timeout >= 0 ? ReceiveBoundMs(timeout, capacity) : 0;
  uint32_t mark = began;
  auto deliver = [&](std::size_t from, std::size_t size) {
    std::copy_n(received.begin() + static_cast<std::ptrdiff_t>(from), size, buffer);
    *length = static_cast<int>(size);
    TraceDump(received.data(), received.size());
    Trace(kLevelInfo, kInfo, "End ReadComm Method");
    return kSuccess;
  };
  auto fail = [&](Message m) {
    return FailDump(codec::kErrorDumpText, received.data(), received.size(), m);
  };
  uint8_t chunk[4096];
  // The first pass waits before it reads (WaitFirstByte, else the quiet gap): a reply has seldom
  // come yet, and an empty read would only be followed by the same wait.
  bool firstPass = true;
  for (;;) {
    // Take what has arrived: one byte at a time in ACK mode (the bytes after the ACK or NAK stay
    // for the next receive) and with a negative time-out no more than the buffer holds.
    std::size_t want = sizeof chunk;
    if (ackMode) want = 1;
    if (timeout < 0) want = std::min(want, capacity - std::min(capacity, received.size()));
    std::size_t got = 0;
    const bool look = !std::exchange(firstPass, false);
    if (want > 0 && !look) {
      if (std::optional<WaitResult> w = WaitFirstByte(timeout, dsrCheck)) {
        if (*w == WaitResult::kFailed) {
          return FailedReceive(received.data(), received.size(), dsrCheck);
        }
        continue;
      }
    }
    if (want > 0 && look) {
      platform::IoResult r = m_hComm->ReadQueued(chunk, want);
      if (r.status != IoStatus::kOk) {
        return FailedReceive(received.data(), received.size(), dsrCheck);
      }
      got = r.bytes;
    }
    if (got > 0) {
      received.insert(received.end(), chunk, chunk + got);
      mark = TickCount();
      if (ackMode && (chunk[0] == ACK || chunk[0] == NAK)) {
        return deliver(received.size() - 1, 1);
      }
      if (received.size() > kMaxGather) {
        received.erase(received.begin(),
                       received.end() - static_cast<std::ptrdiff_t>(kMaxGather / 2));
      }
      if (timeout >= 0 && mark - began > bound) return fail(Message::kReadTimeout);
      if (got == want) continue;  // more may be waiting; a short read emptied the queue
    }
    // Nothing more right now: the line is idle once a quiet gap has passed without a byte.
    if (want > 0) {
      WaitResult w = WaitQuiet(!received.empty());
      if (w == WaitResult::kReady) continue;
      if (w == WaitResult::kFailed) {
        return FailedReceive(received.data(), received.size(), dsrCheck);
      }
    }
    if (dsrCheck && !IsDSROn()) return fail(Message::kDsrError);
    if (timeout < 0) return deliver(0, received.size());
    if (!ackMode) {
      codec::FrameSpan frame = codec::LastReadFrame(received);
      if (frame.size > 0 && frame.size <= capacity) return deliver(frame.start, frame.size);
    }
    if (Elapsed(mark) > static_cast<uint32_t>(timeout)) return fail(Message::kReadTimeout);
    if (WorkerStopRequested()) {
      TraceMessage(Message::kCancel);
      return kCancelled;
    }
    if (WaitForInput(Remaining(mark, timeout), dsrCheck) == WaitResult::kFailed) {
      return FailedReceive(received.data(), received.size(), dsrCheck);
    }
  }
}

Result CCommPort::ReadCommHF(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  const std::size_t limit = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  Trace(kLevelInfo, kInfo, "Start ReadCommHF Method");
  enum class State { kHunting, kInFrame, kAfterEtx } state = State::kHunting;
  std::vector<uint8_t> frame;
  const uint32_t began = TickCount();
  // A negative time-out means no time limit, and no overall bound either.
  const uint32_t bound = timeout >= 0 ? ReceiveBoundMs(timeout, limit) : 0;
  uint32_t mark = began;
  auto fail = [&](Message m) {
    return FailDump(codec::kErrorDumpText, frame.data(), frame.size(), m);
  };
  for (;;) {
    bool evaluate = false;
    bool idle = false;
    if (frame.size() < limit) {
      uint8_t byte = 0;
      platform::IoResult r = m_hComm->ReadQueued(&byte, 1);
      if (r.status != IoStatus::kOk) return FailedReceive(frame.data(), frame.size(), dsrCheck);
      if (r.bytes == 1) {
        frame.push_back(byte);
        mark = TickCount();
        switch (state) {
          case State::kHunting:
            if (byte == STX) frame.assign(1, STX), state = State::kInFrame;
            break;
          case State::kInFrame:
            if (byte == ETX) state = State::kAfterEtx;
            if (byte == STX) frame.assign(1, STX);
            break;
          case State::kAfterEtx:
            state = State::kHunting;
            evaluate = true;
            break;
        }
        if (!evaluate && timeout >= 0 && mark - began > bound) {
          return fail(Message::kReadTimeout);
        }
        if (!evaluate && frame.size() < limit) continue;
        evaluate = true;
      } else {
        WaitResult w = WaitQuiet(!frame.empty());
        if (w == WaitResult::kReady) continue;
        if (w == WaitResult::kFailed) return FailedReceive(frame.data(), frame.size(), dsrCheck);
        idle = true;
      }
    } else {
      idle = true;
    }
    if (idle && dsrCheck && !IsDSROn()) return fail(Message::kDsrError);
    if (frame.size() >= 2 && frame.front() == STX && frame[frame.size() - 2] == ETX) {
      std::copy(frame.begin(), frame.end(), buffer);
      *length = static_cast<int>(frame.size());
      TraceDump(frame.data(), frame.size());
      Trace(kLevelInfo, kInfo, "End ReadCommHF Method");
      return kSuccess;
    }
    if (timeout >= 0 && Elapsed(mark) > static_cast<uint32_t>(timeout)) {
      return fail(Message::kReadTimeout);
    }
    if (WorkerStopRequested()) {
      TraceMessage(Message::kCancel);
      return kCancelled;
    }
    if (!idle) continue;
    // Idle: wait for the next byte; with the buffer full no byte is read any more, so only the
    // time-out or a stop request can end the wait.
    int wait = timeout >= 0 ? Remaining(mark, timeout) : -1;
    WaitResult w =
        frame.size() < limit ? WaitForInput(wait, dsrCheck) : WaitForStop(wait, dsrCheck);
    if (w == WaitResult::kFailed) return FailedReceive(frame.data(), frame.size(), dsrCheck);
  }
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
