// Link primitives of the text protocol: writes with line checks, frame and acknowledgement
// receives with idle time-outs, the HF frame receive, the block check and NAK-driven re-receive.
//
// Receives wait in the kernel: after the bytes that are there have been taken, the line counts
// as idle once no byte has come for kQuietGapMs (the gap that ends a frame); after that, a wait
// blocks until a byte arrives, the time-out runs out or a stop request signals the port's
// wake-up descriptor.

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "engine/comm_port.h"
#include "platform/clock.h"

namespace linvo::engine {
namespace {

using platform::IoStatus;
using platform::TickCount;
using platform::WaitResult;

constexpr int kQuietGapMs = 1;
// While a receive checks DSR, its waits are cut into slices of this length so that DSR dropping
// ends the receive promptly (the line reports no change of its own to a waiting reader).
constexpr int kDsrSliceMs = 10;
// A frame receive keeps at most this many bytes of a burst that never goes quiet: older bytes
// are dropped, so a device that streams without pause cannot exhaust memory. A frame is only
// delivered if it fits the caller's buffer; a longer one is never complete for the caller and
// the receive ends with 110 at its time-out.
constexpr std::size_t kMaxGather = 64 * 1024;

uint32_t Elapsed(uint32_t since) { return TickCount() - since; }

// Milliseconds left until more than `timeout` ms have passed since `mark` (at least 1).
int Remaining(uint32_t mark, int32_t timeout) {
  uint32_t elapsed = Elapsed(mark);
  uint32_t limit = static_cast<uint32_t>(timeout) + 1;
  return elapsed >= limit ? 1 : static_cast<int>(limit - elapsed);
}

// The last complete frame of a burst: an STX marks a candidate start (a later STX replaces it),
// an ETX after a candidate completes the frame with the byte after it; scanning stops at the
// second-to-last byte. Returns {start, size}; size 0 when there is none.
std::pair<std::size_t, std::size_t> LastFrame(const std::vector<uint8_t>& b) {
  std::size_t best = 0, bestSize = 0;
  bool candidate = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i + 1 < b.size(); ++i) {
    if (b[i] == STX) {
      candidate = true;
      start = i;
    } else if (b[i] == ETX && candidate) {
      best = start;
      bestSize = i + 2 - start;
      candidate = false;
      ++i;  // past the BCC
    }
  }
  return {best, bestSize};
}

}  // namespace

int CCommPort::CalcBCC(const uint8_t* bytes, int count, uint8_t* bcc) {
  uint8_t value = 0;
  bool started = false;
  for (int i = 0; i < count; ++i) {
    if (bytes[i] == STX) {
      started = true;
      continue;
    }
    if (!started) continue;
    value ^= bytes[i];
    if (bytes[i] == ETX) break;
  }
  *bcc = value;
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
  if (auto log = Log()) log->WriteDump(kLevelInfo, data, static_cast<int>(length));
}

bool CCommPort::WorkerStopRequested() const {
  return m_pWorkerThread.load() != nullptr && m_bWorkerStop.load() == 1;
}

const platform::WakeEvent* CCommPort::ReceiveWakeFd() const {
  return m_pWorkerThread.load() != nullptr ? &m_wake : nullptr;
}

WaitResult CCommPort::WaitForInput(int timeoutMs, int16_t dsrCheck) {
  if (dsrCheck && (timeoutMs < 0 || timeoutMs > kDsrSliceMs)) timeoutMs = kDsrSliceMs;
  return m_hComm->WaitReadable(timeoutMs, ReceiveWakeFd());
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

WaitResult CCommPort::WaitForStop(int timeoutMs, int16_t dsrCheck) {
  if (dsrCheck && (timeoutMs < 0 || timeoutMs > kDsrSliceMs)) timeoutMs = kDsrSliceMs;
  return platform::WaitForWake(ReceiveWakeFd(), timeoutMs) ? WaitResult::kWoken
                                                         : WaitResult::kTimeout;
}

Result CCommPort::FailedReceive(const std::vector<uint8_t>& received, int16_t dsrCheck) {
  Trace(kLevelInfo, kInfo, "[Error]Dump Receive Data");
  TraceDump(received.data(), received.size());
  Message m = dsrCheck && !IsDSROn() ? Message::kDsrError : Message::kReceive;
  TraceMessage(m);
  return CodeOf(m);
}

Result CCommPort::WriteComm(const uint8_t* bytes, int count, int32_t timeout, int16_t dsrCheck) {
  std::lock_guard<std::recursive_mutex> hold(m_csWrite);
  Trace(kLevelInfo, kInfo, "Start WriteComm Method");
  m_hComm->Purge(platform::kPurgeTxClear);
  std::size_t total = count > 0 ? static_cast<std::size_t>(count) : 0;
  std::size_t sent = 0;
  std::size_t last = 0;
  const uint32_t start = TickCount();
  for (;;) {
    if (last == 0) {
      if (dsrCheck && !WaitLineOn(platform::kMsDsrOn, timeout)) {
        TraceMessage(Message::kDsrTimeout);
        return kDsrError;
      }
      if (!WaitLineOn(platform::kMsCtsOn, timeout)) {
        TraceMessage(Message::kCtsTimeout);
        return kCtsTimeout;
      }
      if (timeout != 0 && Elapsed(start) > static_cast<uint32_t>(timeout)) {
        TraceMessage(Message::kSend1);
        return kSendError;
      }
    }
    if (int32_t delay = m_nDelay.load(); delay > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    platform::IoResult r = m_hComm->Write(bytes + sent, total - sent);
    if (r.status == IoStatus::kWaitFailed) {
      TraceMessage(Message::kSend2);
      return kSendError;
    }
    if (r.status == IoStatus::kFailedAtOnce) {
      TraceMessage(Message::kSend3);
      return kSendError;
    }
    last = r.bytes;
    sent += last;
    if (sent >= total) break;
  }
  TraceDump(bytes, sent);
  Trace(kLevelInfo, kInfo, "End WriteComm Method");
  return kSuccess;
}

Result CCommPort::ReadComm(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  const bool ackMode = *length == 1;
  const std::size_t capacity = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  std::lock_guard<std::recursive_mutex> hold(m_csRead);
  Trace(kLevelInfo, kInfo, "Start ReadComm Method");
  std::vector<uint8_t> received;
  uint32_t mark = TickCount();
  auto deliver = [&](std::size_t from, std::size_t size) {
    std::copy_n(received.begin() + static_cast<std::ptrdiff_t>(from), size, buffer);
    *length = static_cast<int>(size);
    TraceDump(received.data(), received.size());
    Trace(kLevelInfo, kInfo, "End ReadComm Method");
    return kSuccess;
  };
  uint8_t chunk[4096];
  for (;;) {
    // Take what has arrived: one byte at a time in ACK mode (the bytes after the ACK or NAK stay
    // for the next receive) and with a negative time-out no more than the buffer holds.
    std::size_t want = sizeof chunk;
    if (ackMode) want = 1;
    if (timeout < 0) want = std::min(want, capacity - std::min(capacity, received.size()));
    std::size_t got = 0;
    if (want > 0) {
      platform::IoResult r = m_hComm->ReadAvailable(chunk, want);
      if (r.status != IoStatus::kOk) return FailedReceive(received, dsrCheck);
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
      continue;
    }
    // Nothing more right now: the line is idle once a quiet gap has passed without a byte.
    if (want > 0) {
      WaitResult w = m_hComm->WaitReadable(kQuietGapMs, nullptr);
      if (w == WaitResult::kReady) continue;
      if (w == WaitResult::kFailed) return FailedReceive(received, dsrCheck);
    }
    if (dsrCheck && !IsDSROn()) {
      Trace(kLevelInfo, kInfo, "[Error]Dump Receive Data");
      TraceDump(received.data(), received.size());
      TraceMessage(Message::kDsrError);
      return kDsrError;
    }
    if (timeout < 0) return deliver(0, received.size());
    if (!ackMode) {
      auto [start, size] = LastFrame(received);
      if (size > 0 && size <= capacity) return deliver(start, size);
    }
    if (Elapsed(mark) > static_cast<uint32_t>(timeout)) {
      Trace(kLevelInfo, kInfo, "[Error]Dump Receive Data");
      TraceDump(received.data(), received.size());
      TraceMessage(Message::kReadTimeout);
      return kTimeout;
    }
    if (WorkerStopRequested()) {
      TraceMessage(Message::kCancel);
      return kCancelled;
    }
    if (WaitForInput(Remaining(mark, timeout), dsrCheck) == WaitResult::kFailed) {
      return FailedReceive(received, dsrCheck);
    }
  }
}

Result CCommPort::ReadCommHF(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  const std::size_t limit = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  Trace(kLevelInfo, kInfo, "Start ReadCommHF Method");
  enum class State { kHunting, kInFrame, kAfterEtx } state = State::kHunting;
  std::vector<uint8_t> frame;
  uint32_t mark = TickCount();
  for (;;) {
    bool evaluate = false;
    bool idle = false;
    if (frame.size() < limit) {
      uint8_t byte = 0;
      platform::IoResult r = m_hComm->ReadAvailable(&byte, 1);
      if (r.status != IoStatus::kOk) return FailedReceive(frame, dsrCheck);
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
        if (!evaluate && frame.size() < limit) continue;
        evaluate = true;
      } else {
        WaitResult w = m_hComm->WaitReadable(kQuietGapMs, nullptr);
        if (w == WaitResult::kReady) continue;
        if (w == WaitResult::kFailed) return FailedReceive(frame, dsrCheck);
        idle = true;
      }
    } else {
      idle = true;
    }
    if (idle && dsrCheck && !IsDSROn()) {
      Trace(kLevelInfo, kInfo, "[Error]Dump Receive Data");
      TraceDump(frame.data(), frame.size());
      TraceMessage(Message::kDsrError);
      return kDsrError;
    }
    if (frame.size() >= 2 && frame.front() == STX && frame[frame.size() - 2] == ETX) {
      std::copy(frame.begin(), frame.end(), buffer);
      *length = static_cast<int>(frame.size());
      TraceDump(frame.data(), frame.size());
      Trace(kLevelInfo, kInfo, "End ReadCommHF Method");
      return kSuccess;
    }
    if (timeout >= 0 && Elapsed(mark) > static_cast<uint32_t>(timeout)) {
      Trace(kLevelInfo, kInfo, "[Error]Dump Receive Data");
      TraceDump(frame.data(), frame.size());
      TraceMessage(Message::kReadTimeout);
      return kTimeout;
    }
    if (WorkerStopRequested()) {
      TraceMessage(Message::kCancel);
      return kCancelled;
    }
    if (!idle) continue;
    // Idle: wait for the next byte; with the buffer full no byte is read any more, so only the
    // time-out or a stop request can end the wait.
    int wait = timeout >= 0 ? Remaining(mark, timeout) : -1;
    WaitResult w = frame.size() < limit ? WaitForInput(wait, dsrCheck) : WaitForStop(wait, dsrCheck);
    if (w == WaitResult::kFailed) return FailedReceive(frame, dsrCheck);
  }
}

Result CCommPort::RetryBCC(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  static const uint8_t kNak[] = {NAK};
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (Result r = WriteComm(kNak, 1, timeout, dsrCheck); r != kSuccess) return r;
    *length = kReceiveCapacity;
    if (Result r = ReadComm(buffer, length, timeout, dsrCheck); r != kSuccess) return r;
    uint8_t bcc = 0;
    CalcBCC(buffer, *length, &bcc);
    if (*length > 0 && bcc == buffer[*length - 1]) return kSuccess;
  }
  TraceMessage(Message::kBccRetryError);
  return kBccError;
}

}  // namespace linvo::engine
