// Background receives: the start operations, the five workers, the comm-event watcher and the
// handling of their notifications on the thread that created the port object.

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/comm_port.h"
#include "engine/operation_frame.h"
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
void SetFrameData(NotifyRecord* record, const uint8_t* frame, int n) {
  int count = n - 3;
  if (count < 0) count = 0;
  record->pData = CopyBytes(frame + 1, count, true);
  record->nDataLen = static_cast<int16_t>(count);
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

uint32_t CCommPort::ResultToEventBit(Result code) const {
  const int32_t kind = m_nWorkerType.load();
  if (kind == THREADTYPE_COMM) return 0;
  const bool response = kind == THREADTYPE_RESPONSE;
  switch (code) {
    case 10:
      return 0x0001;
    case 11:
      return response ? 0x0002 : 0;
    case 12:
      return response ? 0x0004 : 0;
    case 20:
      return 0x0008;
    case 110:
      return 0x0100;
    case 111:
      return 0x0200;
    case 112:
      return 0x0400;
    case 113:
      return response ? 0x4000 : 0;
    case 120:
      return 0x0800;
    case 200:
      return 0x1000;
    case 201:
      return 0x2000;
    default:
      return 0;
  }
}

// ---- start operations ----------------------------------------------------------------------

Result CCommPort::StartWorker(OperationFrame& frame, uint16_t kind, bool stopRequest,
                              bool namedBusy, void (CCommPort::*procedure)()) {
  WorkerThread* running = m_pWorkerThread.load();
  // A worker whose last post found no window can never be handled: its slot is freed here.
  if (running != nullptr && running->orphaned.load()) {
    ReapWorker(running);
    running = nullptr;
  }
  if (stopRequest) {
    if (running == nullptr) return frame.Succeed(kSuccess);
    if (m_nWorkerType.load() != kind) return frame.Fail(Message::kPortBusy);
    {
      std::lock_guard<std::recursive_mutex> hold(m_csWorkerStop);
      m_bWorkerStop.store(1);
    }
    m_wake.Signal();
    return frame.Succeed(kSuccess);
  }
  if (running != nullptr) {
    if (m_nWorkerType.load() == kind) return frame.Fail(Message::kAlreadyRegistered);
    if (namedBusy) return frame.Fail(Message::kThreadTypeBusy, m_nWorkerType.load());
    return frame.Fail(Message::kPortBusy);
  }
  {
    std::lock_guard<std::recursive_mutex> hold(m_csWorkerStop);
    m_bWorkerStop.store(0);
    m_wake.Clear();
  }
  auto* worker = new WorkerThread;
  m_nWorkerType.store(kind);
  m_pWorkerThread.store(worker);
  try {
    worker->thread = std::thread([this, procedure] { (this->*procedure)(); });
  } catch (const std::system_error&) {
    m_pWorkerThread.store(nullptr);
    delete worker;
    return frame.Fail(Message::kThreadFailed);
  }
  return frame.Succeed(kSuccess);
}

Result CCommPort::ReceiveResponseCallback(Caller caller, int16_t mode, int32_t timeout,
                                          ResponseCallback callback, int32_t param, uint32_t mask) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return NotOpenAtStart(frame);
  if (timeout < 0) return frame.Fail(Message::kParameterError);
  frame.BeginExchange();
  if (callback != nullptr && m_pWorkerThread.load() == nullptr) {
    m_nWorkerMode = mode;
    m_nWorkerTimeout = timeout;
    m_pfnResponseCallback.store(callback);
    m_lCallbackParam = param;
    m_lWorkerEventMask = mask;
    m_bWorkerDsrCheck = (mask & 0x0400) ? 1 : 0;
  }
  return StartWorker(frame, THREADTYPE_RESPONSE, callback == nullptr, false,
                     &CCommPort::ResponseCallbackWorker);
}

Result CCommPort::ReceiveBinaryReportAsync(Caller caller, int32_t timeout, BinaryCallback callback,
                                           int32_t param, uint32_t mask) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return NotOpenAtStart(frame);
  if (timeout < 0) return frame.Fail(Message::kParameterError);
  frame.BeginExchange();
  if (callback != nullptr && m_pWorkerThread.load() == nullptr) {
    m_nWorkerTimeout = timeout;
    m_pfnBinaryCallback.store(callback);
    m_lCallbackParam = param;
    m_lWorkerEventMask = mask;
    m_bWorkerDsrCheck = (mask & 0x0400) ? 1 : 0;
    m_bWorkerCtsCheck = (mask & 0x0200) ? 1 : 0;
  }
  return StartWorker(frame, THREADTYPE_BINARY, callback == nullptr, false,
                     &CCommPort::BinaryReportWorker);
}

Result CCommPort::WatchCommEvents(Caller caller, CommCallback callback, int32_t param,
                                  uint32_t mask) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return NotOpenAtStart(frame);
  if (callback == nullptr) {
    m_pfnCommCallback.store(nullptr);
    return frame.Succeed(kSuccess);
  }
  if (m_pfnCommCallback.load() != nullptr) return frame.Fail(Message::kAlreadyRegistered);
  m_lCallbackParam = param;
  m_lCommEventMask.store(mask);
  m_pfnCommCallback.store(callback);
  return frame.Succeed(kSuccess);
}

Result CCommPort::ReceiveResponseAsync(Caller caller, int16_t portNo, int32_t responseTimer,
                                       int32_t busyTimer, int16_t dsrCheck) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return NotOpenAtStart(frame);
  if (responseTimer < 0) return frame.Fail(Message::kResponseTimerParameter);
  if (busyTimer < 0) return frame.Fail(Message::kBusyTimerParameter);
  frame.BeginExchange();
  if (m_pWorkerThread.load() == nullptr) {
    m_nWorkerTimeout = responseTimer;
    m_nBusyTimer = busyTimer;
    m_bWorkerDsrCheck = dsrCheck;
  }
  return StartWorker(frame, THREADTYPE_RESPONSE, false, true, &CCommPort::ResponseWorker);
}

Result CCommPort::ReceiveDataAsync(Caller caller, int16_t portNo, int16_t ackMode, int32_t timeout,
                                   int16_t dsrCheck, uint32_t mask) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return NotOpenAtStart(frame);
  if (timeout < 0) return frame.Fail(Message::kParameterError);
  frame.BeginExchange();
  if (m_pWorkerThread.load() == nullptr) {
    m_nAckMode = ackMode;
    m_nWorkerTimeout = timeout;
    m_bWorkerDsrCheck = dsrCheck;
    m_lWorkerEventMask = mask;
  }
  return StartWorker(frame, THREADTYPE_BCC, false, false, &CCommPort::DataBCCWorker);
}

Result CCommPort::ReceiveDataHFAsync(Caller caller, int16_t portNo, int16_t twoPart,
                                     int32_t timeout, int16_t dsrCheck, uint32_t mask) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return NotOpenAtStart(frame);
  if (timeout < 0) return frame.Fail(Message::kParameterError);
  frame.BeginExchange();
  if (m_pWorkerThread.load() == nullptr) {
    m_nHFTwoPart = twoPart;
    m_nWorkerTimeout = timeout;
    m_bWorkerDsrCheck = dsrCheck;
    m_lWorkerEventMask = mask;
  }
  return StartWorker(frame, THREADTYPE_HF, false, false, &CCommPort::DataHFWorker);
}

// ---- slot, posting and stopping ----------------------------------------------------------------

void CCommPort::ReapWorker(WorkerThread* expected) {
  WorkerThread* worker = expected;
  if (!m_pWorkerThread.compare_exchange_strong(worker, nullptr)) return;
  if (worker->thread.joinable()) worker->thread.join();
  delete worker;
}

void CCommPort::Post(NotifyRecord* record, uint32_t bit) {
  record->nKind = static_cast<uint16_t>(m_nWorkerType.load());
  WorkerThread* self = m_pWorkerThread.load();
  if (self != nullptr) self->posted.store(true);
  if (!platform::PostWindowMessage(m_hWnd, PortEventMessage(),
                                   reinterpret_cast<platform::WParam>(record),
                                   static_cast<platform::LParam>(bit))) {
    FreeNotifyRecord(record);
    if (self != nullptr) self->orphaned.store(true);
  }
}

void CCommPort::PostEmpty(uint32_t bit) { Post(new NotifyRecord, bit); }

void CCommPort::EndStopped() {
  if (m_bClosing.load() == 0) PostEmpty(kBitStopped);
}

void CCommPort::PauseUnlessStopped(int ms) {
  m_wake.Wait(ms);
}

void CCommPort::StopThreads() {
  if (WorkerThread* worker = m_pWorkerThread.load()) {
    m_bClosing.store(1);
    {
      std::lock_guard<std::recursive_mutex> hold(m_csWorkerStop);
      m_bWorkerStop.store(1);
    }
    m_wake.Signal();
    ReapWorker(worker);
    m_bClosing.store(0);
  }
  if (m_pWatchThread) {
    {
      std::lock_guard<std::recursive_mutex> hold(m_csWatchStop);
      m_bWatchStop.store(1);
    }
    m_watchWake.Signal();
    m_pWatchThread->join();
    m_pWatchThread.reset();
  }
}

std::intptr_t CCommPort::OnPortEvent(platform::WParam wParam, platform::LParam lParam) {
  auto* record = reinterpret_cast<NotifyRecord*>(wParam);
  const uint32_t bit = static_cast<uint32_t>(lParam);
  // A worker's report frees the slot before the control sees it. Only a worker that has posted
  // is taken: a report that arrives after its worker was reaped elsewhere leaves a newer worker
  // alone.
  if (record->nKind != THREADTYPE_COMM) {
    WorkerThread* worker = m_pWorkerThread.load();
    if (worker != nullptr && worker->posted.load()) {
      Trace(kLevelInfo, kInfo, "GetExitCodeThread");
      ReapWorker(worker);
    }
  }
  struct Route {
    uint16_t kind;
    const char* format;
    uint32_t message;
  };
  static constexpr Route kRoutes[] = {
      {THREADTYPE_RESPONSE, "Execute CallBack Function(Response): 0x%08x\n", WM_PORT_RESPONSE},
      {THREADTYPE_BINARY, "Execute CallBack Function(Binary): 0x%08x\n", WM_PORT_BINARY},
      {THREADTYPE_COMM, "Execute CallBack Function(Comm): 0x%08x\n", WM_PORT_COMM},
      {THREADTYPE_BCC, "Execute Send Message(BCC): 0x%08x\n", WM_PORT_BCC},
      {THREADTYPE_HF, "Execute Send Message(HF): 0x%08x\n", WM_PORT_HF},
  };
  const platform::WindowHandle target = ControlWindow(m_nPortNo);
  for (const Route& route : kRoutes) {
    if (route.kind != record->nKind) continue;
    bool forward = true;
    if (route.kind == THREADTYPE_BINARY) forward = (m_lWorkerEventMask & bit) != 0;
    if (route.kind == THREADTYPE_COMM) forward = (m_lCommEventMask.load() & bit) != 0;
    if (!forward) break;
    char text[96];
    std::snprintf(text, sizeof text, route.format, bit);
    Trace(kLevelInfo, kInfo, text);
    if (target != 0 && platform::PostWindowMessage(target, route.message, wParam, lParam)) return 0;
    break;
  }
  FreeNotifyRecord(record);
  return 0;
}

Result CCommPort::NotOpenAtStart(OperationFrame& frame) {
  frame.ErrInfo(Message::kNotOpenedYet);
  frame.Unlock();
  return kNotOpen;
}

bool CCommPort::WorkerReadFailed(Result e, int32_t timeout, int16_t dsrCheck, uint32_t mask) {
  if (WorkerStopped()) {
    EndStopped();
    return true;
  }
  if (e == kTimeout && timeout == 0) {
    // Nothing has arrived yet. Time-out 0 means waiting until data comes or a stop request:
    // block until either, rather than reading again at once (with the DSR check on, the wait
    // wakes now and then to look at DSR, which the next read then reports).
    for (;;) {
      platform::WaitResult w = WaitForInput(-1, dsrCheck);
      if (w != platform::WaitResult::kTimeout || (dsrCheck && !IsDSROn())) break;
    }
    if (WorkerStopped()) {
      EndStopped();
      return true;
    }
    return false;
  }
  if (uint32_t bit = ResultToEventBit(e); (bit & mask) != 0) {
    PostEmpty(bit);
    return true;
  }
  if (WorkerStopped()) {
    EndStopped();
    return true;
  }
  return false;
}

bool CCommPort::WorkerSendFailed(Result e, uint32_t mask) {
  if (e == kSuccess) return false;
  uint32_t bit = ResultToEventBit(e);
  if ((bit & mask) == 0) return false;
  PostEmpty(bit);
  return true;
}

// ---- workers ---------------------------------------------------------------------------------

void CCommPort::ResponseWorker() {
  const uint32_t t0 = platform::TickCount();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  const int16_t dsr = m_bWorkerDsrCheck;
  const int32_t timeout = m_nWorkerTimeout;
  for (;;) {
    Result outcome;
    NotifyRecord* record = new NotifyRecord;
    int length = kReceiveCapacity;
    if (WorkerStopped()) {
      outcome = kCancelled;
    } else if (m_nBusyTimer != 0 &&
               platform::TickCount() - t0 >= static_cast<uint32_t>(m_nBusyTimer)) {
      outcome = kBusyTimeout;
    } else if (Result w = WriteComm(kPoll, 2, timeout, dsr); w != kSuccess) {
      outcome = w;
    } else if (Result r = ReadComm(buffer.data(), &length, timeout, dsr); r != kSuccess) {
      outcome = WorkerStopped() ? Result{kCancelled} : r;
    } else if (!BccOk(buffer.data(), length) &&
               (outcome = RetryBCC(buffer.data(), &length, timeout, dsr)) != kSuccess) {
      // RetryBCC's failure is the outcome.
    } else {
      uint8_t letter = length > 1 ? buffer[1] : 0;
      outcome = letter == 'A'   ? kResponseA
                : letter == 'R' ? kResponseR
                : letter == 'B' ? kResponseB
                                : kSuccess;
      if (outcome == kResponseA || outcome == kResponseR) {
        SetFrameData(record, buffer.data(), length);
      }
    }
    if (outcome == kResponseB || outcome == kTimeout) {
      FreeNotifyRecord(record);
      PauseUnlessStopped(50);
      continue;
    }
    // Every outcome is posted, also while the port is closing.
    Post(record, ResultToEventBit(outcome));
    return;
  }
}

void CCommPort::ResponseCallbackWorker() {
  std::vector<uint8_t> buffer(kReceiveCapacity);
  const int16_t dsr = m_bWorkerDsrCheck;
  const int32_t timeout = m_nWorkerTimeout;
  const uint32_t mask = m_lWorkerEventMask;
  for (;;) {
    if (WorkerSendFailed(WriteComm(kPoll, 2, timeout, dsr), mask)) return;
    int length = 0;
    for (;;) {
      length = kReceiveCapacity;
      Result e = ReadComm(buffer.data(), &length, timeout, dsr);
      if (e == kSuccess) break;
      if (WorkerReadFailed(e, timeout, dsr, mask)) return;
    }
    if (!BccOk(buffer.data(), length)) {
      // A failed re-receive leaves the frame as it was.
      std::vector<uint8_t> again(kReceiveCapacity);
      int retried = kReceiveCapacity;
      Result e = RetryBCC(again.data(), &retried, timeout, dsr);
      if (WorkerSendFailed(e, mask)) return;
      if (e == kSuccess) {
        buffer.swap(again);
        length = retried;
      }
    }
    uint8_t letter = length > 1 ? buffer[1] : 0;
    uint32_t bit = 0;
    if (letter == 'R' && (mask & kBitR))
      bit = kBitR;
    else if (letter == 'A' && (mask & kBitA))
      bit = kBitA;
    else if ((m_nWorkerMode == 0 || m_nWorkerMode == 1) && (mask & kBitB))
      bit = kBitB;
    if (bit != 0) {
      auto* record = new NotifyRecord;
      SetFrameData(record, buffer.data(), length);
      return Post(record, bit);
    }
    if (WorkerStopped()) return EndStopped();
  }
}

void CCommPort::BinaryReportWorker() {
  const int16_t dsr = m_bWorkerDsrCheck, cts = m_bWorkerCtsCheck;
  const int32_t timeout = m_nWorkerTimeout;
  const uint32_t mask = m_lWorkerEventMask;
  int naks = 0;
  for (;;) {
    std::vector<uint8_t> block(0x1405);
    int n = static_cast<int>(block.size());
    Result e = ReadCommForBinary(block.data(), &n, timeout, dsr);
    if (e != kSuccess) {
      if (WorkerReadFailed(e, timeout, dsr, mask)) return;
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
      if (WorkerSendFailed(WriteCommForBinary(kSynAck, 2, timeout, dsr, cts), mask)) return;
      auto* record = new NotifyRecord;
      record->pData = CopyBytes(block.data() + 2, n - 5, false);
      record->nDataLen = static_cast<int16_t>(n - 5);
      return Post(record, kBitA);
    }
    if (WorkerSendFailed(WriteCommForBinary(kSynNak, 2, timeout, dsr, cts), mask)) return;
    if (++naks >= kBinaryNakLimit) {
      if (mask & kBitBcc) return PostEmpty(kBitBcc);
      naks = 0;
    }
    if (WorkerStopped()) return EndStopped();
  }
}

void CCommPort::DataBCCWorker() {
  std::vector<uint8_t> buffer(kReceiveCapacity);
  const int16_t dsr = m_bWorkerDsrCheck;
  const int32_t timeout = m_nWorkerTimeout;
  const uint32_t mask = m_lWorkerEventMask;
  const bool ack = m_nAckMode != 0;
  for (;;) {
    int n = kReceiveCapacity;
    Result e = ReadComm(buffer.data(), &n, timeout, dsr);
    if (e != kSuccess) {
      if (WorkerReadFailed(e, timeout, dsr, mask)) return;
      continue;
    }
    std::vector<uint8_t> frame = LastBlockFrame(buffer.data(), n);
    // A block without a complete frame is dropped and the worker reads again.
    if (!frame.empty()) {
      int length = static_cast<int>(frame.size());
      bool good = BccOk(frame.data(), length);
      if (!good && ack) {
        frame.resize(kReceiveCapacity);
        Result r = RetryBCC(frame.data(), &length, timeout, dsr);
        if (WorkerSendFailed(r, mask)) return;
        good = r == kSuccess;
      }
      if (good) {
        if (ack && WorkerSendFailed(WriteComm(kAckByte, 1, timeout, dsr), mask)) return;
        auto* record = new NotifyRecord;
        SetFrameData(record, frame.data(), length);
        return Post(record, kBitR);
      }
    }
    if (WorkerStopped()) return EndStopped();
  }
}

void CCommPort::DataHFWorker() {
  std::vector<uint8_t> frame(kReceiveCapacity);
  std::vector<uint8_t> first, second;
  const int16_t dsr = m_bWorkerDsrCheck;
  const int32_t timeout = m_nWorkerTimeout;
  const uint32_t mask = m_lWorkerEventMask;
  bool secondPhase = false;
  bool firstBad = false;
  for (;;) {
    int n = kReceiveCapacity;
    Result e = ReadCommHF(frame.data(), &n, timeout, dsr);
    if (e != kSuccess) {
      if (WorkerReadFailed(e, timeout, dsr, mask)) return;
      continue;
    }
    auto part = [&](std::vector<uint8_t>& out) {
      out.assign(frame.begin() + 1, frame.begin() + 1 + (n > 3 ? n - 3 : 0));
    };
    bool good = BccOk(frame.data(), n);
    if (!secondPhase) {
      part(first);
      if (m_nHFTwoPart != 0 && IsTwoPartHF(frame.data(), n)) {
        // The first frame's block check counts too: a two-part reply with a bad first part is
        // reported as a block-check failure, as the synchronous HF receive reports it.
        firstBad = !good;
        secondPhase = true;
        if (WorkerStopped()) return EndStopped();
        continue;
      }
      if (WorkerStopped()) return EndStopped();
    } else {
      part(second);
      good = good && !firstBad;
    }
    auto* record = new NotifyRecord;
    if (!first.empty()) {
      record->pData = CopyBytes(first.data(), static_cast<int>(first.size()), true);
      record->nDataLen = static_cast<int16_t>(first.size());
    }
    if (!second.empty()) {
      record->pData2 = CopyBytes(second.data(), static_cast<int>(second.size()), true);
      record->nData2Len = static_cast<int16_t>(second.size());
    }
    return Post(record, good ? kBitA : kBitBcc);
  }
}

// ---- comm-event watcher ----------------------------------------------------------------------

void CCommPort::CommEventWatcher(bool dsrWasOn, uint64_t lastReceived) {
  uint32_t previousCount = 0, currentCount = 0;
  bool dataArrived = false;
  auto stopped = [&] {
    std::lock_guard<std::recursive_mutex> hold(m_csWatchStop);
    return m_bWatchStop.load() == 1;
  };
  auto post = [&](uint32_t bit, uint32_t inQueue) {
    if ((m_lCommEventMask.load() & bit) == 0) return;
    auto* record = new NotifyRecord;
    record->nKind = THREADTYPE_COMM;
    record->dwInQueue = inQueue;
    if (!platform::PostWindowMessage(m_hWnd, PortEventMessage(),
                                     reinterpret_cast<platform::WParam>(record),
                                     static_cast<platform::LParam>(bit))) {
      FreeNotifyRecord(record);
    }
  };
  while (!stopped()) {
    uint32_t events = 0;
    platform::WaitResult w = m_hComm->WaitEvent(&events, -1, &m_watchWake);
    if (w == platform::WaitResult::kFailed) return;  // no more line events until reopened
    if (w != platform::WaitResult::kReady || events == 0) continue;
    uint32_t errors = 0;
    platform::CommStatus status;
    if (m_hComm->ClearError(&errors, &status)) {
      previousCount = currentCount;
      currentCount = status.cbInQue;
      const uint64_t fresh = status.received - lastReceived;
      lastReceived = status.received;
      if (currentCount != 0 && (previousCount == 0 || fresh >= currentCount)) dataArrived = true;
    }
    char text[80];
    std::snprintf(text, sizeof text, "Event Notification: 0x%08x(%d, %d)", events,
                  static_cast<int>(previousCount), static_cast<int>(currentCount));
    Trace(kLevelInfo, kInfo, text);
    if (m_pfnCommCallback.load() == nullptr) continue;
    if (m_bSyncBusy.load() == 0) {
      if (events & platform::kEvRxChar) {
        if (dataArrived) post(0x001, currentCount);
        dataArrived = false;
      }
      if (events & platform::kEvTxEmpty) post(0x002, 0);
    }
    if (events & platform::kEvCts) post(0x008, 0);
    if (events & platform::kEvDsr) {
      bool on = IsDSROn() != 0;
      if (dsrWasOn && !on) post(0x010, 0);
      dsrWasOn = on;
    }
    if (events & platform::kEvRlsd) post(0x020, 0);
    if (events & platform::kEvBreak) post(0x040, 0);
    if (events & platform::kEvErr) {
      if (errors & platform::kCeFrame) post(0x200, 0);
      if (errors & platform::kCeOverrun) post(0x400, 0);
      if (errors & platform::kCeRxParity) post(0x800, 0);
      if (errors & platform::kCeRxOver) post(0x004, 0);
    }
    if (events & platform::kEvRing) post(0x100, 0);
  }
}

}  // namespace linvo::engine
