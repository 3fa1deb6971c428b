// The five background receive workers. Each runs on its own thread with the parameters its start
// operation captured, and ends by posting one record to the port's window (or silently, when a
// close stopped it).
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/codec.h"
#include "engine/comm_port.h"
#include "platform/clock.h"

namespace linvo::engine {
namespace {

using codec::ByteView;

// Event bits of the background outcomes.
constexpr uint32_t kBitA = 0x0001;
constexpr uint32_t kBitR = 0x0002;
constexpr uint32_t kBitB = 0x0004;
constexpr uint32_t kBitStopped = 0x0008;
constexpr uint32_t kBitBcc = 0x0800;

// The response poll's pause between polls while the device answers busy or not at all.
constexpr int kBusyPauseMs = 50;

// A BinaryReportWorker that gets this many bad reports in a row ends with 120 (bit 0x0800),
// as the synchronous report receive does at its retry count.
constexpr int kBinaryNakLimit = 3;

uint8_t* CopyBytes(const uint8_t* bytes, int count, bool terminate) {
  if (count <= 0 && !terminate) return nullptr;
  uint8_t* out = new uint8_t[static_cast<std::size_t>(std::max(count, 0)) + (terminate ? 1 : 0)];
  if (count > 0) std::memcpy(out, bytes, static_cast<std::size_t>(count));
  if (terminate) out[std::max(count, 0)] = 0;
  return out;
}

// The text frame data of a frame of n bytes (STX first, ETX and BCC last): the n - 3 bytes
// between them and a 0 byte.
void SetFrameData(NotifyRecord& record, const uint8_t* frame, int n) {
  int count = n - 3;
  if (count < 0) count = 0;
  record.pData = CopyBytes(frame + 1, count, true);
  record.nDataLen = static_cast<int16_t>(count);
}

}  // namespace

// ---- posting ------------------------------------------------------------------------------------

void CCommPort::Post(Worker& self, NotifyRecordPtr record, uint32_t bit) {
  record->nKind = self.kind;
  self.posted.store(true);
  if (!PostNotifyRecord(m_hWnd, PortEventMessage(), std::move(record), bit)) {
    self.orphaned.store(true);
  }
}

void CCommPort::PostEmpty(Worker& self, uint32_t bit) {
  Post(self, MakeNotifyRecord(self.kind), bit);
}

void CCommPort::EndStopped(Worker& self) {
  if (!self.closing.load()) PostEmpty(self, kBitStopped);
}

bool CCommPort::WorkerReadFailed(Worker& self, Result e) {
  const WorkerParams& p = self.params;
  if (m_workerSlot.Stopped()) {
    EndStopped(self);
    return true;
  }
  if (e == kTimeout && p.timeout == 0) {
    // Nothing has arrived yet. Time-out 0 means waiting until data comes or a stop request:
    // block until either, rather than reading again at once (with the DSR check on, the wait
    // wakes now and then to look at DSR, which the next read then reports).
    for (;;) {
      platform::WaitResult w = WaitForInput(-1, p.dsrCheck);
      if (w != platform::WaitResult::kTimeout || (p.dsrCheck && !IsDSROn())) break;
    }
    if (m_workerSlot.Stopped()) {
      EndStopped(self);
      return true;
    }
    return false;
  }
  if (uint32_t bit = ResultToEventBit(self.kind, e); (bit & p.mask) != 0) {
    PostEmpty(self, bit);
    return true;
  }
  if (m_workerSlot.Stopped()) {
    EndStopped(self);
    return true;
  }
  return false;
}

bool CCommPort::WorkerSendFailed(Worker& self, Result e) {
  if (e == kSuccess) return false;
  uint32_t bit = ResultToEventBit(self.kind, e);
  if ((bit & self.params.mask) == 0) return false;
  PostEmpty(self, bit);
  return true;
}

// ---- workers ------------------------------------------------------------------------------------

void CCommPort::ResponseWorker(Worker& self) {
  const uint32_t t0 = platform::TickCount();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  const WorkerParams& p = self.params;
  for (;;) {
    Result outcome;
    NotifyRecordPtr record = MakeNotifyRecord(self.kind);
    int length = kReceiveCapacity;
    if (m_workerSlot.Stopped()) {
      outcome = kCancelled;
    } else if (p.busyTimer != 0 &&
               platform::TickCount() - t0 >= static_cast<uint32_t>(p.busyTimer)) {
      outcome = kBusyTimeout;
    } else if (Result w = WriteComm(codec::kPoll, 2, p.timeout, p.dsrCheck); w != kSuccess) {
      outcome = w;
    } else if (Result r = ReadComm(buffer.data(), &length, p.timeout, p.dsrCheck); r != kSuccess) {
      outcome = m_workerSlot.Stopped() ? Result{kCancelled} : r;
    } else if (!codec::BccOk(ByteView(buffer.data(), static_cast<std::size_t>(length))) &&
               (outcome = RetryBCC(buffer.data(), &length, p.timeout, p.dsrCheck)) != kSuccess) {
      // RetryBCC's failure is the outcome.
    } else {
      uint8_t letter = length > 1 ? buffer[1] : 0;
      outcome = letter == 'A'   ? kResponseA
                : letter == 'R' ? kResponseR
                : letter == 'B' ? kResponseB
                                : kSuccess;
      if (outcome == kResponseA || outcome == kResponseR) {
        SetFrameData(*record, buffer.data(), length);
      }
    }
    if (outcome == kResponseB || outcome == kTimeout) {
      m_workerSlot.Pause(kBusyPauseMs);
      continue;
    }
    // Every outcome is posted, also while the port is closing.
    return Post(self, std::move(record), ResultToEventBit(self.kind, outcome));
  }
}

void CCommPort::ResponseCallbackWorker(Worker& self) {
  std::vector<uint8_t> buffer(kReceiveCapacity);
  const WorkerParams& p = self.params;
  for (;;) {
    if (WorkerSendFailed(self, WriteComm(codec::kPoll, 2, p.timeout, p.dsrCheck))) return;
    int length = 0;
    for (;;) {
      length = kReceiveCapacity;
      Result e = ReadComm(buffer.data(), &length, p.timeout, p.dsrCheck);
      if (e == kSuccess) break;
      if (WorkerReadFailed(self, e)) return;
    }
    if (!codec::BccOk(ByteView(buffer.data(), static_cast<std::size_t>(length)))) {
      // A failed re-receive leaves the frame as it was.
      std::vector<uint8_t> again(kReceiveCapacity);
      int retried = kReceiveCapacity;
      Result e = RetryBCC(again.data(), &retried, p.timeout, p.dsrCheck);
      if (WorkerSendFailed(self, e)) return;
      if (e == kSuccess) {
        buffer.swap(again);
        length = retried;
      }
    }
    uint8_t letter = length > 1 ? buffer[1] : 0;
    uint32_t bit = 0;
    if (letter == 'R' && (p.mask & kBitR))
      bit = kBitR;
    else if (letter == 'A' && (p.mask & kBitA))
      bit = kBitA;
    else if ((p.mode == 0 || p.mode == 1) && (p.mask & kBitB))
      bit = kBitB;
    if (bit != 0) {
      NotifyRecordPtr record = MakeNotifyRecord(self.kind);
      SetFrameData(*record, buffer.data(), length);
      return Post(self, std::move(record), bit);
    }
    if (m_workerSlot.Stopped()) return EndStopped(self);
  }
}

void CCommPort::BinaryReportWorker(Worker& self) {
  const WorkerParams& p = self.params;
  int naks = 0;
  for (;;) {
    std::vector<uint8_t> block(0x1405);
    int n = static_cast<int>(block.size());
    Result e = ReadCommForBinary(block.data(), &n, p.timeout, p.dsrCheck);
    if (e != kSuccess) {
      if (WorkerReadFailed(self, e)) return;
      continue;
    }
    if (codec::CheckBinaryFrame(ByteView(block.data(), static_cast<std::size_t>(n))) ==
        codec::FrameCheck::kValid) {
      if (WorkerSendFailed(
              self, WriteCommForBinary(codec::kSynAck, 2, p.timeout, p.dsrCheck, p.ctsCheck))) {
        return;
      }
      NotifyRecordPtr record = MakeNotifyRecord(self.kind);
      record->pData = CopyBytes(block.data() + 2, n - 5, false);
      record->nDataLen = static_cast<int16_t>(n - 5);
      return Post(self, std::move(record), kBitA);
    }
    if (WorkerSendFailed(
            self, WriteCommForBinary(codec::kSynNak, 2, p.timeout, p.dsrCheck, p.ctsCheck))) {
      return;
    }
    if (++naks >= kBinaryNakLimit) {
      if (p.mask & kBitBcc) return PostEmpty(self, kBitBcc);
      naks = 0;
    }
    if (m_workerSlot.Stopped()) return EndStopped(self);
  }
}

void CCommPort::DataBCCWorker(Worker& self) {
  std::vector<uint8_t> buffer(kReceiveCapacity);
  const WorkerParams& p = self.params;
  const bool ack = p.ackMode != 0;
  for (;;) {
    int n = kReceiveCapacity;
    Result e = ReadComm(buffer.data(), &n, p.timeout, p.dsrCheck);
    if (e != kSuccess) {
      if (WorkerReadFailed(self, e)) return;
      continue;
    }
    codec::Bytes frame =
        codec::LastBlockFrame(ByteView(buffer.data(), static_cast<std::size_t>(n)));
    // A block without a complete frame is dropped and the worker reads again.
    if (!frame.empty()) {
      int length = static_cast<int>(frame.size());
      bool good = codec::BccOk(frame);
      if (!good && ack) {
        frame.resize(kReceiveCapacity);
        Result r = RetryBCC(frame.data(), &length, p.timeout, p.dsrCheck);
        if (WorkerSendFailed(self, r)) return;
        good = r == kSuccess;
      }
      if (good) {
        if (ack && WorkerSendFailed(self, WriteComm(codec::kAckMessage, 1, p.timeout, p.dsrCheck)))
          return;
        NotifyRecordPtr record = MakeNotifyRecord(self.kind);
        SetFrameData(*record, frame.data(), length);
        return Post(self, std::move(record), kBitR);
      }
    }
    if (m_workerSlot.Stopped()) return EndStopped(self);
  }
}

void CCommPort::DataHFWorker(Worker& self) {
  std::vector<uint8_t> frame(kReceiveCapacity);
  std::vector<uint8_t> first, second;
  const WorkerParams& p = self.params;
  bool secondPhase = false;
  bool firstBad = false;
  for (;;) {
    int n = kReceiveCapacity;
    Result e = ReadCommHF(frame.data(), &n, p.timeout, p.dsrCheck);
    if (e != kSuccess) {
      if (WorkerReadFailed(self, e)) return;
      continue;
    }
    auto part = [&](std::vector<uint8_t>& out) {
      out.assign(frame.begin() + 1, frame.begin() + 1 + (n > 3 ? n - 3 : 0));
    };
    const ByteView received(frame.data(), static_cast<std::size_t>(n));
    bool good = codec::BccOk(received);
    if (!secondPhase) {
      part(first);
      if (p.twoPart != 0 && codec::IsTwoPartHF(received)) {
        // The first frame's block check counts too: a two-part reply with a bad first part is
        // reported as a block-check failure, as the synchronous HF receive reports it.
        firstBad = !good;
        secondPhase = true;
        if (m_workerSlot.Stopped()) return EndStopped(self);
        continue;
      }
      if (m_workerSlot.Stopped()) return EndStopped(self);
    } else {
      part(second);
      good = good && !firstBad;
    }
    NotifyRecordPtr record = MakeNotifyRecord(self.kind);
    if (!first.empty()) {
      record->pData = CopyBytes(first.data(), static_cast<int>(first.size()), true);
      record->nDataLen = static_cast<int16_t>(first.size());
    }
    if (!second.empty()) {
      record->pData2 = CopyBytes(second.data(), static_cast<int>(second.size()), true);
      record->nData2Len = static_cast<int16_t>(second.size());
    }
    return Post(self, std::move(record), good ? kBitA : kBitBcc);
  }
}

}  // namespace linvo::engine
