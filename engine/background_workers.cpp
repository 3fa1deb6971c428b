// The five background receive workers. Each runs on its own thread with the parameters its start
// operation captured, and ends by posting one record to the port's window (or silently, when a
// close stopped it).
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/comm_port.h"
#include "platform/clock.h"

namespace linvo::engine {
namespace {

constexpr uint8_t SYN = 0x16;
constexpr uint8_t kPoll[] = {EOT, ENQ};
constexpr uint8_t kAckByte[] = {ACK};
constexpr uint8_t kSynAck[] = {SYN, ACK};
constexpr uint8_t kSynNak[] = {SYN, NAK};

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

bool BccOk(const uint8_t* frame, int length) {
  uint8_t bcc = 0;
  CCommPort::CalcBCC(frame, length, &bcc);
  return length > 0 && bcc == frame[length - 1];
}

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

bool IsTwoPartHF(const uint8_t* frame, int n) {
  static constexpr const char* kCodes[] = {"02", "05", "07", "0D", "14", "16", "18", "1A"};
  if (n < 6 || frame[4] != '0' || frame[5] != '2') return false;
  for (const char* c : kCodes) {
    if (frame[2] == c[0] && frame[3] == c[1]) return true;
  }
  return false;
}

// The last complete text frame of a block: an STX starts a frame (dropping what came before,
// complete frames included), ETX and the byte after it complete it, bytes outside a frame are
// skipped; a block that ends inside a frame begun after the last complete one yields nothing.
std::vector<uint8_t> LastBlockFrame(const uint8_t* b, int n) {
  std::vector<uint8_t> current, last;
  bool inFrame = false;
  for (int i = 0; i < n; ++i) {
    if (b[i] == STX) {
      current.assign(1, STX);
      last.clear();
      inFrame = true;
    } else if (inFrame) {
      current.push_back(b[i]);
      if (b[i] == ETX) {
        if (i + 1 < n)
          current.push_back(b[++i]);
        else
          current.clear();
        last = std::move(current);
        current.clear();
        inFrame = false;
      }
    }
  }
  return inFrame ? std::vector<uint8_t>{} : last;
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
    } else if (Result w = WriteComm(kPoll, 2, p.timeout, p.dsrCheck); w != kSuccess) {
      outcome = w;
    } else if (Result r = ReadComm(buffer.data(), &length, p.timeout, p.dsrCheck); r != kSuccess) {
      outcome = m_workerSlot.Stopped() ? Result{kCancelled} : r;
    } else if (!BccOk(buffer.data(), length) &&
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
    if (WorkerSendFailed(self, WriteComm(kPoll, 2, p.timeout, p.dsrCheck))) return;
    int length = 0;
    for (;;) {
      length = kReceiveCapacity;
      Result e = ReadComm(buffer.data(), &length, p.timeout, p.dsrCheck);
      if (e == kSuccess) break;
      if (WorkerReadFailed(self, e)) return;
    }
    if (!BccOk(buffer.data(), length)) {
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
    bool valid =
        n >= 5 && block[0] == SYN && block[1] == STX && block[n - 3] == SYN && block[n - 2] == ETX;
    if (valid) {
      uint8_t check = ETX;
      for (int i = 2; i <= n - 4; ++i) check ^= block[i];
      valid = check == block[n - 1];
    }
    if (valid) {
      if (WorkerSendFailed(self,
                           WriteCommForBinary(kSynAck, 2, p.timeout, p.dsrCheck, p.ctsCheck))) {
        return;
      }
      NotifyRecordPtr record = MakeNotifyRecord(self.kind);
      record->pData = CopyBytes(block.data() + 2, n - 5, false);
      record->nDataLen = static_cast<int16_t>(n - 5);
      return Post(self, std::move(record), kBitA);
    }
    if (WorkerSendFailed(self, WriteCommForBinary(kSynNak, 2, p.timeout, p.dsrCheck, p.ctsCheck))) {
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
    std::vector<uint8_t> frame = LastBlockFrame(buffer.data(), n);
    // A block without a complete frame is dropped and the worker reads again.
    if (!frame.empty()) {
      int length = static_cast<int>(frame.size());
      bool good = BccOk(frame.data(), length);
      if (!good && ack) {
        frame.resize(kReceiveCapacity);
        Result r = RetryBCC(frame.data(), &length, p.timeout, p.dsrCheck);
        if (WorkerSendFailed(self, r)) return;
        good = r == kSuccess;
      }
      if (good) {
        if (ack && WorkerSendFailed(self, WriteComm(kAckByte, 1, p.timeout, p.dsrCheck))) return;
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
    bool good = BccOk(frame.data(), n);
    if (!secondPhase) {
      part(first);
      if (p.twoPart != 0 && IsTwoPartHF(frame.data(), n)) {
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
