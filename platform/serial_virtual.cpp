// The virtual null-modem line: an in-process pair of ends for tests and the simulator.
//
// Both ends share one LineState under one mutex. Waits block on wake-up events that the state
// keeps signalled exactly while there is something to see (bytes for the host, bytes for the
// peer, host events), so a silent line costs nothing. A stalled host write sleeps on a
// condition variable until its time-out, an unstall or a disconnect.
//
// Rules of this line beyond the header: bytes and errors the peer sends while no host end is
// open are lost (nobody listens); closing the host end drops DTR and RTS; a disconnected (or
// failed) line cannot be opened again (the device is gone) until the name is registered anew.
#include "platform/serial_virtual.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/deadline.h"
#include "platform/error_text.h"
#include "platform/port_names.h"
#include "platform/serial_backend.h"

namespace linvo::platform {
namespace {

constexpr uint32_t kModemBits = kMsCtsOn | kMsDsrOn | kMsRingOn | kMsRlsdOn;
constexpr uint32_t kErrorBits = kCeRxOver | kCeOverrun | kCeRxParity | kCeFrame | kCeBreak;
constexpr uint32_t kPurgeFlags = kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;

struct LineState {
  explicit LineState(std::string comName) : name(std::move(comName)) {}

  // Brings the three levels in line with the state; call after every change, under the mutex.
  void UpdateLevels() {
    hostReadable.Set(!toHost.empty() || disconnected);
    peerReadable.Set(!toPeer.empty());
    hostEvent.Set(pendingEvents != 0 || pendingHeld != 0 || maskInterrupt || disconnected);
  }
  // Wakes every WaitModemLines; each looks at the lines again.
  void SignalModemWaiters() {
    for (WakeEvent* waiter : modemWaiters) waiter->Signal();
  }
  // Host calls that wait on the far end (WaitReadable, WaitEvent, WaitModemLines, a held Write)
  // are counted while they wait, so that the far end can act once they do. Under the mutex.
  void EnterWait() {
    ++hostWaits;
    waitsChanged.notify_all();
  }
  void LeaveWait() {
    --hostWaits;
    waitsChanged.notify_all();
  }
  // Records events for the host's WaitEvent (only those of its mask, as Windows does); those of
  // a hold are kept apart, or dropped.
  void Raise(uint32_t events) {
    if (!hostOpen) return;
    events &= eventMask;
    pendingEvents |= events & ~heldMask;
    if (holdReports) pendingHeld |= events & heldMask;
  }

  const std::string name;  // "COMn"
  std::mutex mutex;
  std::condition_variable transmitter;   // a stalled host write waits here
  std::condition_variable waitsChanged;  // hostWaits changed
  int hostWaits = 0;

  std::deque<uint8_t> toHost;
  uint64_t receivedTotal = 0;  // bytes delivered to host ends, a running total
  uint32_t receivePurges = 0;  // kPurgeRxClear calls of host ends
  std::deque<uint8_t> toPeer;
  bool hostOpen = false;
  bool disconnected = false;
  // Set by Fail: the system's error that the host's failed calls report, modem-status reads
  // included (0 after Disconnect: the far end went away and nothing failed at the host).
  int failure = 0;
  bool stalled = false;
  std::size_t stalledBytes = 0;  // bytes of host writes held by the stall (the output queue)
  uint32_t modemLines = kMsCtsOn | kMsDsrOn | kMsRlsdOn;
  uint32_t hostLines = 0;
  uint32_t errors = 0;
  DeviceControlBlock dcb;
  CommTimeouts timeouts;
  uint32_t eventMask = 0;
  uint32_t pendingEvents = 0;
  uint32_t heldMask = 0;     // events of the host's present hold
  bool holdReports = false;  // the hold reports its events as held (else drops them)
  uint32_t pendingHeld = 0;  // held events not yet handed to WaitEvent
  uint64_t maskGeneration = 0;
  std::vector<WakeEvent*> modemWaiters;  // of WaitModemLines calls, signalled on a change
  int eventWaiters = 0;
  bool maskInterrupt = false;  // SetEventMask happened while WaitEvent waited

  Level hostReadable;
  Level peerReadable;
  Level hostEvent;
};

// The host's DTR and RTS as the control modes of the block set them.
uint32_t LinesForModes(const DeviceControlBlock& dcb, uint32_t lines) {
  lines &= ~(kHostDtr | kHostRts);
  if (dcb.fDtrControl != kDtrControlDisable) lines |= kHostDtr;
  if (dcb.fRtsControl == kRtsControlEnable || dcb.fRtsControl == kRtsControlHandshake) {
    lines |= kHostRts;
  }
  return lines;
}

class VirtualHostLine final : public SerialLine {
 public:
  explicit VirtualHostLine(std::shared_ptr<LineState> state)
      : m_state(std::move(state)), m_path("virtual:" + m_state->name) {}

  ~VirtualHostLine() override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    s.hostOpen = false;
    s.hostLines = 0;
    s.toHost.clear();
    s.errors = 0;
    s.eventMask = 0;
    s.pendingEvents = 0;
    s.pendingHeld = 0;
    s.heldMask = 0;
    s.holdReports = false;
    s.UpdateLevels();
  }

  const std::string& DevicePath() const override { return m_path; }

  bool SetQueueSizes(uint32_t /*inQueue*/, uint32_t /*outQueue*/) override { return true; }

  bool GetState(DeviceControlBlock* dcb) override {
    if (dcb == nullptr) return false;
    std::lock_guard lock(m_state->mutex);
    if (m_state->disconnected) return false;  // a line that is gone cannot be configured
    *dcb = m_state->dcb;
    return true;
  }

  bool SetState(const DeviceControlBlock& dcb) override {
    if (!IsValidDeviceControlBlock(dcb)) return false;
    std::lock_guard lock(m_state->mutex);
    if (m_state->disconnected) return false;
    m_state->dcb = dcb;
    m_state->hostLines = LinesForModes(dcb, m_state->hostLines);
    return true;
  }

  bool GetTimeouts(CommTimeouts* timeouts) override {
    if (timeouts == nullptr) return false;
    std::lock_guard lock(m_state->mutex);
    *timeouts = m_state->timeouts;
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard lock(m_state->mutex);
    m_state->timeouts = timeouts;
    return true;
  }

  IoResult Read(uint8_t* buffer, std::size_t size) override {
    CommTimeouts timeouts;
    GetTimeouts(&timeouts);
    return ReadWithTimeouts(
        timeouts, buffer, size, [this](uint8_t* to, std::size_t n) { return ReadAvailable(to, n); },
        [this](int timeoutMs) {
          // Bytes and a disconnect both set the level; ReadAvailable tells which.
          return WaitLevel(m_state->hostReadable.Event(), nullptr, timeoutMs);
        });
  }

  IoResult ReadAvailable(uint8_t* buffer, std::size_t size) override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    if (s.disconnected) return {IoStatus::kWaitFailed, 0, s.failure};
    const std::size_t n = std::min(size, s.toHost.size());
    std::copy_n(s.toHost.begin(), n, buffer);
    s.toHost.erase(s.toHost.begin(), s.toHost.begin() + static_cast<std::ptrdiff_t>(n));
    s.UpdateLevels();
    return {IoStatus::kOk, n};
  }

  WaitOutcome WaitReadable(int timeoutMs, const WakeEvent* wake) override {
    LineState& s = *m_state;
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
      {
        std::lock_guard lock(s.mutex);
        if (s.disconnected) return {WaitResult::kFailed, s.failure};
        if (!s.toHost.empty()) return WaitResult::kReady;
        s.EnterWait();
      }
      const WaitResult polled = WaitLevel(s.hostReadable.Event(), wake, deadline.RemainingMs());
      std::lock_guard lock(s.mutex);
      s.LeaveWait();
      if (polled == WaitResult::kWoken) return polled;
      if (s.disconnected) return {WaitResult::kFailed, s.failure};
      if (!s.toHost.empty()) return WaitResult::kReady;
      if (polled == WaitResult::kTimeout) return WaitResult::kTimeout;
    }
  }

  IoResult Write(const uint8_t* data, std::size_t size) override {
    LineState& s = *m_state;
    std::unique_lock lock(s.mutex);
    if (s.disconnected) return {IoStatus::kWaitFailed, 0, s.failure};
    if (size == 0) return {};
    if (s.stalled) {
      const int totalMs = TotalTimeoutMs(s.timeouts.WriteTotalTimeoutMultiplier,
                                         s.timeouts.WriteTotalTimeoutConstant, size);
      auto released = [&s] { return !s.stalled || s.disconnected; };
      s.stalledBytes += size;
      s.EnterWait();
      if (totalMs == 0) {
        s.transmitter.wait(lock, released);
      } else {
        s.transmitter.wait_for(lock, std::chrono::milliseconds(totalMs), released);
      }
      s.LeaveWait();
      s.stalledBytes -= size;
      if (s.disconnected) return {IoStatus::kWaitFailed, 0, s.failure};
      if (s.stalled) return {IoStatus::kOk, 0};  // the write time-out passed
    }
    // The virtual transmitter is instantaneous: everything is with the peer at once.
    s.toPeer.insert(s.toPeer.end(), data, data + size);
    s.Raise(kEvTxEmpty);
    s.UpdateLevels();
    return {IoStatus::kOk, size};
  }

  LineResult GetModemStatus(uint32_t* status) override {
    if (status == nullptr) return {false};
    std::lock_guard lock(m_state->mutex);
    if (m_state->failure != 0) return {false, m_state->failure};
    *status = m_state->modemLines;
    return {};
  }

  // The far end tells of every change, so this waits without re-reading: on an event of its
  // own that SetModemLines and Disconnect signal.
  WaitOutcome WaitModemLines(uint32_t bits, int timeoutMs, const WakeEvent* wake) override {
    LineState& s = *m_state;
    std::optional<WakeEvent> changed;
    try {
      changed.emplace();
    } catch (const std::system_error& e) {
      return {WaitResult::kFailed, e.code().value()};
    }
    const Deadline deadline = Deadline::After(timeoutMs);
    WaitOutcome result = WaitResult::kTimeout;
    WakeEvent* const event = &*changed;
    {
      std::lock_guard lock(s.mutex);
      s.modemWaiters.push_back(event);
      s.EnterWait();
    }
    for (;;) {
      {
        std::lock_guard lock(s.mutex);
        if (s.disconnected) {
          result = {WaitResult::kFailed, s.failure};
          break;
        }
        if ((s.modemLines & bits) == bits) {
          result = WaitResult::kReady;
          break;
        }
      }
      const int waitMs = deadline.RemainingMs();
      result = waitMs == 0 ? WaitResult::kTimeout : WaitLevel(*event, wake, waitMs);
      if (result != WaitResult::kReady) break;
      event->Clear();
    }
    {
      std::lock_guard lock(s.mutex);
      std::erase(s.modemWaiters, event);
      s.LeaveWait();
    }
    return result;
  }

  bool EscapeFunction(uint32_t function) override {
    std::lock_guard lock(m_state->mutex);
    uint32_t& lines = m_state->hostLines;
    switch (function) {
      case kSetRts:
        lines |= kHostRts;
        return true;
      case kClrRts:
        lines &= ~kHostRts;
        return true;
      case kSetDtr:
        lines |= kHostDtr;
        return true;
      case kClrDtr:
        lines &= ~kHostDtr;
        return true;
      case kSetBreak:
        lines |= kHostBreak;
        return true;
      case kClrBreak:
        lines &= ~kHostBreak;
        return true;
      default:
        return false;
    }
  }

  bool Purge(uint32_t flags) override {
    if (flags & ~kPurgeFlags) return false;
    std::lock_guard lock(m_state->mutex);
    // The transmitter is instantaneous, so kPurgeTxClear finds nothing; ABORT has no pending
    // overlapped call to end.
    if (flags & kPurgeRxClear) {
      m_state->toHost.clear();
      ++m_state->receivePurges;
    }
    m_state->UpdateLevels();
    return true;
  }

  bool ClearError(uint32_t* errors, CommStatus* status) override {
    std::lock_guard lock(m_state->mutex);
    if (errors != nullptr) *errors = m_state->errors;
    m_state->errors = 0;
    if (status != nullptr) {
      status->cbInQue = static_cast<uint32_t>(m_state->toHost.size());
      status->cbOutQue = static_cast<uint32_t>(m_state->stalledBytes);
      status->received = m_state->receivedTotal;
    }
    return true;
  }

  bool SetEventMask(uint32_t mask) override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    s.eventMask = mask;
    s.pendingEvents = 0;
    s.pendingHeld = 0;
    ++s.maskGeneration;
    if (s.eventWaiters > 0) s.maskInterrupt = true;
    s.UpdateLevels();
    return true;
  }

  bool GetEventMask(uint32_t* mask) override {
    if (mask == nullptr) return false;
    std::lock_guard lock(m_state->mutex);
    *mask = m_state->eventMask;
    return true;
  }

  // Events are raised as they happen, under the line's mutex, so a hold accounts them exactly.
  void HoldEvents(uint32_t mask, bool report) override {
    std::lock_guard lock(m_state->mutex);
    m_state->heldMask = mask & (kEvRxChar | kEvTxEmpty);
    m_state->holdReports = report;
  }

  void ReleaseEvents() override {
    std::lock_guard lock(m_state->mutex);
    m_state->heldMask = 0;
    m_state->holdReports = false;
  }

  WaitOutcome WaitEvent(uint32_t* events, int timeoutMs, const WakeEvent* wake) override {
    return WaitEventHeld(events, nullptr, timeoutMs, wake);
  }

  WaitOutcome WaitEventHeld(uint32_t* events, uint32_t* held, int timeoutMs,
                            const WakeEvent* wake) override {
    if (events != nullptr) *events = 0;
    if (held != nullptr) *held = 0;
    LineState& s = *m_state;
    const Deadline deadline = Deadline::After(timeoutMs);
    uint64_t generation;
    {
      std::lock_guard lock(s.mutex);
      if (s.eventMask == 0) return WaitResult::kFailed;  // nothing could ever end the wait
      generation = s.maskGeneration;
      ++s.eventWaiters;
      s.EnterWait();
    }
    auto finish = [&s](WaitOutcome result) {  // under the mutex
      s.LeaveWait();
      if (--s.eventWaiters == 0) s.maskInterrupt = false;
      s.UpdateLevels();
      return result;
    };
    for (;;) {
      {
        std::lock_guard lock(s.mutex);
        if (s.disconnected) return finish({WaitResult::kFailed, s.failure});
        // A new mask ends the wait with no events, as SetCommMask does to a pending wait.
        if (s.maskGeneration != generation) return finish(WaitResult::kReady);
        if (s.pendingEvents != 0 || s.pendingHeld != 0) {
          if (events != nullptr) *events = s.pendingEvents | s.pendingHeld;
          if (held != nullptr) *held = s.pendingHeld & ~s.pendingEvents;
          s.pendingEvents = 0;
          s.pendingHeld = 0;
          return finish(WaitResult::kReady);
        }
      }
      const int waitMs = deadline.RemainingMs();
      const WaitResult polled =
          waitMs == 0 ? WaitResult::kTimeout : WaitLevel(s.hostEvent.Event(), wake, waitMs);
      if (polled != WaitResult::kReady) {
        std::lock_guard lock(s.mutex);
        return finish(polled);
      }
    }
  }

 private:
  const std::shared_ptr<LineState> m_state;
  const std::string m_path;
};

class VirtualPeerEnd final : public VirtualPeer {
 public:
  explicit VirtualPeerEnd(std::shared_ptr<LineState> state) : m_state(std::move(state)) {}

  void Write(const uint8_t* data, std::size_t size) override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    if (!s.hostOpen || s.disconnected || size == 0) return;
    s.toHost.insert(s.toHost.end(), data, data + size);
    s.receivedTotal += size;
    uint32_t events = kEvRxChar;
    if (std::find(data, data + size, static_cast<uint8_t>(s.dcb.EvtChar)) != data + size) {
      events |= kEvRxFlag;
    }
    s.Raise(events);
    s.UpdateLevels();
  }

  std::size_t Read(uint8_t* buffer, std::size_t size) override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    const std::size_t n = std::min(size, s.toPeer.size());
    std::copy_n(s.toPeer.begin(), n, buffer);
    s.toPeer.erase(s.toPeer.begin(), s.toPeer.begin() + static_cast<std::ptrdiff_t>(n));
    s.UpdateLevels();
    return n;
  }

  bool WaitReadable(int timeoutMs) override {
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
      const WaitResult polled =
          WaitLevel(m_state->peerReadable.Event(), nullptr, deadline.RemainingMs());
      {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->toPeer.empty()) return true;
      }
      if (polled != WaitResult::kReady) return false;
    }
  }

  NativeWaitHandle Fd() const override { return m_state->peerReadable.Event().Native(); }

  void SetModemLines(uint32_t msBits) override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    msBits &= kModemBits;
    const uint32_t changed = msBits ^ s.modemLines;
    s.modemLines = msBits;
    s.SignalModemWaiters();
    s.Raise(((changed & kMsCtsOn) ? uint32_t{kEvCts} : 0u) |
            ((changed & kMsDsrOn) ? uint32_t{kEvDsr} : 0u) |
            ((changed & kMsRlsdOn) ? uint32_t{kEvRlsd} : 0u) |
            ((changed & kMsRingOn) ? uint32_t{kEvRing} : 0u));
    s.UpdateLevels();
  }

  uint32_t ModemLines() const override {
    std::lock_guard lock(m_state->mutex);
    return m_state->modemLines;
  }

  uint32_t HostLines() const override {
    std::lock_guard lock(m_state->mutex);
    return m_state->hostLines;
  }

  void InjectErrors(uint32_t ceBits) override {
    LineState& s = *m_state;
    std::lock_guard lock(s.mutex);
    ceBits &= kErrorBits;
    if (ceBits == 0 || !s.hostOpen) return;
    s.errors |= ceBits;
    s.Raise(kEvErr | ((ceBits & kCeBreak) ? uint32_t{kEvBreak} : 0u));
    s.UpdateLevels();
  }

  void StallTransmitter(bool stalled) override {
    std::lock_guard lock(m_state->mutex);
    m_state->stalled = stalled;
    m_state->transmitter.notify_all();
  }

  void Disconnect() override { End(0); }

  void Fail(int systemError) override { End(systemError); }

  bool HostOpen() const override {
    std::lock_guard lock(m_state->mutex);
    return m_state->hostOpen;
  }

  bool WaitHostWaiting(int count, int timeoutMs) override {
    LineState& s = *m_state;
    std::unique_lock lock(s.mutex);
    return s.waitsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return s.hostWaits >= count; });
  }

  uint32_t HostReceivePurges() const override {
    std::lock_guard lock(m_state->mutex);
    return m_state->receivePurges;
  }

 private:
  // Ends the line; every waiting host call wakes and fails with `failure` as its system error.
  void End(int failure) {
    std::lock_guard lock(m_state->mutex);
    m_state->disconnected = true;
    m_state->failure = failure;
    m_state->UpdateLevels();
    m_state->SignalModemWaiters();
    m_state->transmitter.notify_all();
  }

  const std::shared_ptr<LineState> m_state;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<LineState>> lines;  // by "COMn"
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

std::shared_ptr<VirtualPeer> RegisterVirtualLine(const std::string& windowsName) {
  std::string comName = NormalisePortName(windowsName);
  if (comName.empty()) throw std::invalid_argument("not a port name: " + windowsName);
  auto state = std::make_shared<LineState>(comName);
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.lines[comName] = state;
  return std::make_shared<VirtualPeerEnd>(std::move(state));
}

void UnregisterVirtualLine(const std::string& windowsName) {
  const std::string comName = NormalisePortName(windowsName);
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.lines.erase(comName);
}

bool IsVirtualLineRegistered(const std::string& comName) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.lines.count(comName) != 0;
}

OpenResult OpenVirtualHost(const std::string& comName, bool* registered) {
  Registry& registry = TheRegistry();
  std::lock_guard registryLock(registry.mutex);
  const auto found = registry.lines.find(comName);
  *registered = found != registry.lines.end();
  if (!*registered) return {};
  const std::shared_ptr<LineState>& state = found->second;
  std::lock_guard lock(state->mutex);
  if (state->hostOpen || state->disconnected) {
    const int code = state->hostOpen ? EBUSY : ENODEV;
    return OpenResult{nullptr, SerialError{code, ErrorText(code) + ": virtual:" + comName}};
  }
  state->hostOpen = true;
  state->hostLines = LinesForModes(state->dcb, 0);
  state->timeouts = {};
  return OpenResult{std::make_unique<VirtualHostLine>(state), {}};
}

}  // namespace linvo::platform
