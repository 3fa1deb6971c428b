// The receives of both protocols: one driver (Receive) over the line and a codec scanner that
// decides when what was read is complete (engine/codec.h), and the four receive primitives,
// each a scanner, its rules and its trace lines.
//
// Receives wait in the kernel: after the bytes that are there have been taken, the line counts
// as idle once no byte has come for kQuietGapMs (the gap that ends a frame); after that, a wait
// blocks until a byte arrives, the time-out runs out or a stop request signals the port's
// wake-up descriptor. Time-outs are idle time-outs: they count from the last byte.

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

using codec::Elapsed;
using codec::kQuietGapMs;
using codec::Remaining;
using platform::IoStatus;
using platform::TickCount;
using platform::WaitOutcome;
using platform::WaitResult;

// While a receive checks DSR, its waits are cut into slices of this length so that DSR dropping
// ends the receive promptly (the line reports no change of its own to a waiting reader).
constexpr int kDsrSliceMs = 10;
// The most one read takes.
constexpr std::size_t kReadChunk = 4096;
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

}  // namespace

WaitOutcome CCommPort::WaitForInput(int timeoutMs, int16_t dsrCheck) {
  if (dsrCheck && (timeoutMs < 0 || timeoutMs > kDsrSliceMs)) timeoutMs = kDsrSliceMs;
  return m_hComm->WaitReadable(timeoutMs, ReceiveWake());
}

WaitOutcome CCommPort::WaitQuiet(bool afterBytes) {
  return afterBytes ? m_hComm->WaitQuietGap(kQuietGapMs)
                    : m_hComm->WaitReadable(kQuietGapMs, nullptr);
}

std::optional<WaitOutcome> CCommPort::WaitFirstByte(int32_t timeout, int16_t dsrCheck) {
  if (timeout < 0 || dsrCheck != 0) return std::nullopt;
  return WaitForInput(timeout, 0);
}

WaitOutcome CCommPort::WaitForStop(int timeoutMs, int16_t dsrCheck) {
  if (dsrCheck && (timeoutMs < 0 || timeoutMs > kDsrSliceMs)) timeoutMs = kDsrSliceMs;
  return platform::WaitForWake(ReceiveWake(), timeoutMs) ? WaitResult::kWoken
                                                         : WaitResult::kTimeout;
}

Result CCommPort::FailedReceive(const uint8_t* bytes, std::size_t count, int16_t dsrCheck,
                                int error) {
  int modemError = 0;
  const bool dsrOff = dsrCheck && !DsrOn(&modemError);
  const Result r = FailDump(codec::kErrorDumpText, bytes, count,
                            dsrOff ? Message::kDsrError : Message::kReceive);
  KeepSystemError(error != 0 ? error : modemError);
  return r;
}

uint32_t CCommPort::ReceiveBoundMs(int32_t timeout, std::size_t capacity) {
  platform::DeviceControlBlock dcb;
  const uint64_t baud = m_hComm->GetState(&dcb) && dcb.BaudRate > 0 ? dcb.BaudRate : kAssumedBaud;
  const uint64_t bytes = kStreamBuffers * std::max<uint64_t>(capacity, kReceiveCapacity);
  const uint64_t streamMs = std::max(kMinStreamMs, bytes * kBitsPerByte * 1000 / baud);
  const uint64_t bound = static_cast<uint64_t>(std::max(timeout, 0)) + streamMs;
  return static_cast<uint32_t>(std::min<uint64_t>(bound, std::numeric_limits<int32_t>::max()));
}

Result CCommPort::Receive(codec::ReceiveScanner& scanner, const ReceiveRules& rules) {
  if (scanner.Take({})) return kSuccess;  // nothing to wait for
  const int32_t timeout = rules.timeout;
  const int16_t dsrCheck = rules.dsrCheck;
  const uint32_t began = TickCount();
  const std::optional<uint32_t> bound =
      rules.boundCapacity ? std::optional(ReceiveBoundMs(timeout, *rules.boundCapacity))
                          : std::nullopt;
  uint32_t mark = began;  // when the last byte came
  auto fail = [&](Message message, int error) {
    const codec::ByteView gathered = scanner.Gathered();
    const Result r = FailDump(rules.failText, gathered.data(), gathered.size(), message);
    KeepSystemError(error);
    return r;
  };
  auto lineFailed = [&](int error) {
    const codec::ByteView gathered = scanner.Gathered();
    return FailedReceive(gathered.data(), gathered.size(), dsrCheck, error);
  };
  uint8_t chunk[kReadChunk];
  // The first pass waits before it reads (WaitFirstByte, else the quiet gap): a reply has seldom
  // come yet, and an empty read would only be followed by the same wait.
  bool firstPass = true;
  for (;;) {
    const std::size_t want = std::min(sizeof chunk, scanner.Want());
    std::size_t got = 0;
    const bool first = std::exchange(firstPass, false);
    if (want > 0 && first) {
      if (std::optional<WaitOutcome> w = WaitFirstByte(timeout, dsrCheck)) {
        if (*w == WaitResult::kFailed) return lineFailed(w->error);
        continue;
      }
    } else if (want > 0) {
      const platform::IoResult r = m_hComm->ReadQueued(chunk, want);
      if (r.status != IoStatus::kOk) return lineFailed(r.error);
      got = r.bytes;
    }
    if (got > 0) {
      mark = TickCount();
      if (scanner.Take({chunk, got})) return kSuccess;
      if (bound && mark - began > *bound) return fail(Message::kReadTimeout, 0);
      if (got == want) continue;  // more may be waiting; a short read emptied the queue
    }
    // Nothing more right now: the line is idle once a quiet gap has passed without a byte.
    if (want > 0) {
      const WaitOutcome w = WaitQuiet(!scanner.Gathered().empty());
      if (w == WaitResult::kReady) continue;
      if (w == WaitResult::kFailed) return lineFailed(w.error);
    }
    int modemError = 0;
    if (dsrCheck && !DsrOn(&modemError)) return fail(Message::kDsrError, modemError);
    if (scanner.Quiet()) return kSuccess;
    if (timeout >= 0 && Elapsed(mark) > static_cast<uint32_t>(timeout)) {
      return fail(Message::kReadTimeout, 0);
    }
    if (WorkerStopRequested()) {
      TraceMessage(Message::kCancel);
      return kCancelled;
    }
    // Idle: wait for the next byte. A scanner that takes no more bytes (a full buffer) leaves
    // only the time-out or a stop request to end the wait.
    const int wait = timeout >= 0 ? Remaining(mark, timeout) : -1;
    const WaitOutcome w = want > 0 ? WaitForInput(wait, dsrCheck) : WaitForStop(wait, dsrCheck);
    if (w == WaitResult::kFailed) return lineFailed(w.error);
  }
}

Result CCommPort::ReadComm(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  const std::size_t capacity = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  std::lock_guard<std::recursive_mutex> hold(m_csRead);
  Trace(kLevelInfo, kInfo, "Start ReadComm Method");
  // A negative time-out delivers at the first idle moment and never takes more than the buffer
  // holds, so it needs no overall bound.
  codec::TextReadScanner scanner(capacity, timeout < 0);
  const ReceiveRules rules{timeout, dsrCheck, codec::kErrorDumpText,
                           timeout >= 0 ? std::optional(capacity) : std::nullopt};
  if (Result r = Receive(scanner, rules); r != kSuccess) return r;
  const codec::ByteView frame = scanner.Delivered();
  std::copy(frame.begin(), frame.end(), buffer);
  *length = static_cast<int>(frame.size());
  TraceDump(scanner.Gathered().data(), scanner.Gathered().size());
  Trace(kLevelInfo, kInfo, "End ReadComm Method");
  return kSuccess;
}

Result CCommPort::ReadCommHF(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck) {
  const std::size_t limit = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  Trace(kLevelInfo, kInfo, "Start ReadCommHF Method");
  // A negative time-out means no time limit, and no overall bound either.
  codec::HFReadScanner scanner(limit);
  const ReceiveRules rules{timeout, dsrCheck, codec::kErrorDumpText,
                           timeout >= 0 ? std::optional(limit) : std::nullopt};
  if (Result r = Receive(scanner, rules); r != kSuccess) return r;
  const codec::ByteView frame = scanner.Delivered();
  std::copy(frame.begin(), frame.end(), buffer);
  *length = static_cast<int>(frame.size());
  TraceDump(frame.data(), frame.size());
  Trace(kLevelInfo, kInfo, "End ReadCommHF Method");
  return kSuccess;
}

Result CCommPort::ReadCommForBinary(uint8_t* buffer, int* length, int32_t timeout,
                                    int16_t dsrCheck) {
  const std::size_t capacity = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  Trace(kLevelInfo, kInfo, "Start ReadCommForBinary Method");
  codec::BinaryReadScanner scanner(capacity);
  const ReceiveRules rules{timeout, dsrCheck, codec::kErrorDumpBinaryText, capacity};
  if (Result r = Receive(scanner, rules); r != kSuccess) return r;
  Trace(kLevelInfo, kInfo, "Dump Receive Data(Including Control Code in Data)");
  TraceDump(scanner.Gathered().data(), scanner.Gathered().size());
  const codec::ByteView result = scanner.Delivered();
  if (result.size() < capacity) {
    std::copy(result.begin(), result.end(), buffer);
    *length = static_cast<int>(result.size());
    Trace(kLevelInfo, kInfo, "Receive Data");
    TraceDump(result.data(), result.size());
  } else {
    std::copy_n(result.begin(), capacity, buffer);
    *length = static_cast<int>(capacity);
    Trace(kLevelInfo, kInfo, "Receive Data(Buffer Over Error)");
    TraceDump(result.data(), capacity);
  }
  Trace(kLevelInfo, kInfo, "End ReadCommForBinary Method");
  return kSuccess;
}

Result CCommPort::ReadCommForUnformattedBinary(uint8_t* buffer, int* length, int32_t timeout,
                                               int16_t dsrCheck) {
  const std::size_t wanted = *length > 0 ? static_cast<std::size_t>(*length) : 0;
  Trace(kLevelInfo, kInfo, "Start ReadCommForUnformattedBinary Method");
  // Bounded by the count wanted: a stream fills it and ends the receive.
  codec::RawReadScanner scanner(wanted);
  const ReceiveRules rules{timeout, dsrCheck, codec::kErrorDumpBinaryText, std::nullopt};
  if (Result r = Receive(scanner, rules); r != kSuccess) return r;
  const codec::ByteView received = scanner.Delivered();
  std::copy(received.begin(), received.end(), buffer);
  *length = static_cast<int>(received.size());
  Trace(kLevelInfo, kInfo, "Receive Data");
  TraceDump(received.data(), received.size());
  Trace(kLevelInfo, kInfo, "End ReadCommForUnformattedBinary Method");
  return kSuccess;
}

}  // namespace linvo::engine
