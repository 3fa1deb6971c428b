// The comm-event watcher, and the handling of background reports on the thread that created the
// port object.
//
// Data-arrived and transmit-empty are not reported for a synchronous exchange's own bytes. The
// exchange tells the line to hold those two events while it runs: what happens meanwhile belongs
// to the exchange however late the watcher looks, and with its trace lines off the watcher is not
// even woken for it (the line drops the events). With them on, the line still reports them,
// marked as held, so that the watcher traces them as it traces every event.
//
// Outside exchanges the line drops the two events the same way while nothing could see them: no
// callback takes either report and no trace line would show them. The watcher then sleeps
// through data and writes, as it would if it were slow to look; once somebody can see them, the
// hold ends and events count from there.
#include <cstdio>

#include "engine/comm_port.h"

namespace linvo::engine {

void CCommPort::StartWatcher() {
  if (m_pWatchThread) return;
  m_watchStop.Clear();
  const bool dsrOn = IsDSROn() != 0;
  platform::CommStatus status;
  const uint64_t received = m_hComm->ClearError(nullptr, &status) ? status.received : 0;
  try {
    m_pWatchThread = std::make_unique<std::thread>(
        [this, dsrOn, received] { CommEventWatcher(dsrOn, received); });
  } catch (const std::system_error&) {
    // Without a watcher the port works; it only reports no line events.
  }
}

namespace {
// The line events behind the data-arrived and transmit-empty reports, and those reports' bits.
constexpr uint32_t kExchangeEvents = platform::kEvRxChar | platform::kEvTxEmpty;
constexpr uint32_t kDataArrivedReport = 0x001;
constexpr uint32_t kTxEmptyReport = 0x002;
}  // namespace

void CCommPort::BeginSyncExchange() {
  m_bSyncBusy.store(1);
  UpdateEventHold();
}

void CCommPort::EndSyncExchange() {
  m_bSyncBusy.store(0);
  UpdateEventHold();
}

void CCommPort::UpdateEventHold() {
  if (!m_hComm) {
    m_eventHold = EventHold::kNone;
    return;
  }
  const std::shared_ptr<CTraceLog> log = Log();
  const bool traced = log && log->Writes(kLevelInfo);
  const bool reported = m_pfnCommCallback.load() != nullptr &&
                        (m_lCommEventMask.load() & (kDataArrivedReport | kTxEmptyReport)) != 0;
  EventHold wanted = EventHold::kNone;
  if (m_bSyncBusy.load() != 0) {
    wanted = traced ? EventHold::kReport : EventHold::kDrop;
  } else if (!traced && !reported) {
    wanted = EventHold::kDrop;
  }
  if (wanted == m_eventHold) return;
  // A hold that changes kind ends first: what happened under it stays its own.
  if (m_eventHold != EventHold::kNone) m_hComm->ReleaseEvents();
  if (wanted != EventHold::kNone)
    m_hComm->HoldEvents(kExchangeEvents, wanted == EventHold::kReport);
  m_eventHold = wanted;
}

void CCommPort::CommEventWatcher(bool dsrWasOn, uint64_t lastReceived) {
  uint32_t previousCount = 0, currentCount = 0;
  bool dataArrived = false;
  auto post = [&](uint32_t bit, uint32_t inQueue) {
    if ((m_lCommEventMask.load() & bit) == 0) return;
    NotifyRecordPtr record = MakeNotifyRecord(THREADTYPE_COMM);
    record->dwInQueue = inQueue;
    (void)PostNotifyRecord(m_hWnd, PortEventMessage(), std::move(record), bit);
  };
  while (!m_watchStop.IsSet()) {
    uint32_t events = 0;
    uint32_t held = 0;  // events that belong to a synchronous exchange
    platform::WaitResult w = m_hComm->WaitEventHeld(&events, &held, -1, m_watchStop.Wake());
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
    if (LogOn()) {
      char text[80];
      std::snprintf(text, sizeof text, "Event Notification: 0x%08x(%d, %d)", events,
                    static_cast<int>(previousCount), static_cast<int>(currentCount));
      Trace(kLevelInfo, kInfo, text);
    }
    if (m_pfnCommCallback.load() == nullptr) continue;
    if (m_bSyncBusy.load() == 0) {
      const uint32_t own = events & ~held;
      if (own & platform::kEvRxChar) {
        if (dataArrived) post(kDataArrivedReport, currentCount);
        dataArrived = false;
      }
      if (own & platform::kEvTxEmpty) post(kTxEmptyReport, 0);
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

std::intptr_t CCommPort::OnPortEvent(platform::WParam wParam, platform::LParam lParam) {
  NotifyRecordPtr record(reinterpret_cast<NotifyRecord*>(wParam));
  const uint32_t bit = static_cast<uint32_t>(lParam);
  // A worker's report frees the slot before the control sees it. The binary report's gate is
  // the mask of the worker that posted it; when a close already took that worker, the latest
  // start's mask.
  uint32_t workerMask = m_workerSlot.LatestMask();
  if (record->nKind != THREADTYPE_COMM) {
    if (std::unique_ptr<Worker> worker = m_workerSlot.TakePosted()) {
      Trace(kLevelInfo, kInfo, "GetExitCodeThread");
      if (worker->kind == record->nKind) workerMask = worker->params.mask;
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
  for (const Route& route : kRoutes) {
    if (route.kind != record->nKind) continue;
    bool forward = true;
    if (route.kind == THREADTYPE_BINARY) forward = (workerMask & bit) != 0;
    if (route.kind == THREADTYPE_COMM) forward = (m_lCommEventMask.load() & bit) != 0;
    if (!forward) break;
    char text[96];
    std::snprintf(text, sizeof text, route.format, bit);
    Trace(kLevelInfo, kInfo, text);
    const platform::WindowHandle target = ControlWindow(m_nPortNo);
    if (target != 0) (void)PostNotifyRecord(target, route.message, std::move(record), bit);
    break;
  }
  return 0;  // a record not passed on is freed here
}

}  // namespace linvo::engine
