// The network line: a SerialLine over a TCP connection to a serial server, either telnet with the
// COM port option (rfc2217://) or raw bytes (socket://).
//
// One reader thread per line owns the receiving side: it blocks in the socket seam's wait (poll
// or Winsock's event wait) on the socket and the line's own wake-up event, decodes the telnet
// stream, answers option negotiation, and records data, answers, modem and line-state
// notifications and flow suspend/resume under the line's mutex. Callers never read the socket:
// their waits block on events that the state keeps signalled exactly while there is something to
// see (received bytes, line events), as on the virtual line, together with the caller's wake-up
// event. Writes go out at once from the calling thread when the socket takes them; what it does
// not take yet stays queued and the reader thread sends it when the socket is writable.
//
// Requests to the server (SET-BAUDRATE, SET-CONTROL, PURGE-DATA, ...) are awaited within the
// URL's time-out. Servers answer in order, so a request still unanswered once a later one is
// answered was passed over. Line settings (rate, data size, parity, stop bits) must be answered,
// or the call fails. SET-CONTROL (flow control, DTR, RTS, break) and PURGE-DATA are not always
// answered (a server in front of a device without modem lines leaves DTR and RTS unanswered):
// the first time a kind is left unanswered the line notes it once (TakeNotes) and stops waiting
// for that kind. A batch that ends in such a request is followed by a rate query, which every
// server answers, so that a passed-over request is told at once rather than by its time-out.
#include "platform/net/serial_net.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/deadline.h"
#include "platform/error_text.h"
#include "platform/net/net_socket.h"
#include "platform/net/telnet.h"
#include "platform/serial_backend.h"

namespace linvo::platform {
namespace {

namespace tn = telnet;

// Received bytes held for the host before the line stops reading the socket (the server then
// holds the rest: TCP's own flow control).
constexpr std::size_t kReceiveLimit = std::size_t{1} << 20;
// Bytes a write may leave queued when the socket takes no more, as a driver's output queue.
constexpr std::size_t kTransmitLimit = std::size_t{64} << 10;
// Wire bytes staged for the socket at a time, and the reader's receive size.
constexpr std::size_t kChunk = std::size_t{16} << 10;

constexpr uint32_t kReadyLines = kMsCtsOn | kMsDsrOn | kMsRlsdOn;
constexpr uint32_t kPurgeFlags = kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;

// What a request asks; an answer is matched to the oldest waiting request of its kind.
enum class Kind : uint8_t {
  kBaudRate,
  kDataSize,
  kParity,
  kStopSize,
  kFlowControl,
  kBreak,
  kDtr,
  kRts,
  kInboundFlow,
  kPurge,
  kCount
};
constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::kCount);

// Line settings must be answered; the other kinds may be passed over (see above).
bool MustBeAnswered(Kind kind) { return kind <= Kind::kStopSize; }

const char* KindName(Kind kind) {
  static constexpr std::array<const char*, kKinds> kNames = {
      "SET-BAUDRATE",         "SET-DATASIZE",       "SET-PARITY",
      "SET-STOPSIZE",         "SET-CONTROL (flow control)", "SET-CONTROL (break)",
      "SET-CONTROL (DTR)",    "SET-CONTROL (RTS)",  "SET-CONTROL (inbound flow control)",
      "PURGE-DATA"};
  return kNames[static_cast<std::size_t>(kind)];
}

// The kind a SET-CONTROL value (a request's or an answer's) belongs to.
Kind ControlKind(uint32_t value) {
  if (value <= 3 || value == 19) return Kind::kFlowControl;
  if (value <= 6) return Kind::kBreak;
  if (value <= 9) return Kind::kDtr;
  if (value <= 12) return Kind::kRts;
  return Kind::kInboundFlow;
}

std::optional<Kind> AnswerKind(const tn::ComPortMessage& message) {
  switch (message.command) {
    case tn::kSetBaudRate:
      return Kind::kBaudRate;
    case tn::kSetDataSize:
      return Kind::kDataSize;
    case tn::kSetParity:
      return Kind::kParity;
    case tn::kSetStopSize:
      return Kind::kStopSize;
    case tn::kSetControl:
      return ControlKind(message.value);
    case tn::kPurgeData:
      return Kind::kPurge;
    default:
      return std::nullopt;
  }
}

constexpr std::array<uint8_t, 5> kParityCodes = {tn::kParityNone, tn::kParityOdd, tn::kParityEven,
                                                 tn::kParityMark, tn::kParitySpace};
constexpr std::array<uint8_t, 3> kStopCodes = {tn::kStopOne, tn::kStopOneAndHalf, tn::kStopTwo};

// The outbound flow control a block asks for, as SET-CONTROL says it. DSR output flow is the
// engine's own wait (as on a tty), so it is not asked of the server.
uint8_t FlowCode(const DeviceControlBlock& dcb) {
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsControlHandshake) return tn::kControlOutHardware;
  if (dcb.fOutX) return tn::kControlOutXonXoff;
  return tn::kControlOutNone;
}

class NetLine final : public SerialLine {
 public:
  NetLine(std::unique_ptr<NetSocket> socket, const NetUrl& url)
      : m_socket(std::move(socket)),
        m_url(url),
        m_path(NetUrlText(url)),
        m_telnet(url.scheme == NetUrl::Scheme::kRfc2217) {
    m_awaited.fill(true);
    if (url.ignoreSetControl) {
      for (const Kind kind : {Kind::kFlowControl, Kind::kBreak, Kind::kDtr, Kind::kRts}) {
        m_awaited[static_cast<std::size_t>(kind)] = false;
      }
    }
  }

  ~NetLine() override {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
      // What the socket takes now of what is still queued goes out; the rest is dropped.
      Pump();
    }
    m_kick.Signal();
    if (m_reader.joinable()) m_reader.join();
  }

  NetLine(const NetLine&) = delete;
  NetLine& operator=(const NetLine&) = delete;

  // Starts the reader and, for telnet, negotiates and reads the server's settings. On failure the
  // system's error; the line is then to be destroyed.
  int Start() {
    const Deadline deadline = Deadline::After(m_url.timeoutMs);
    if (m_telnet) {
      // Our requests go first: the server's own (many servers speak first) are then answers to
      // them, whenever the reader gets to them.
      std::lock_guard lock(m_mutex);
      const tn::Bytes opening = m_negotiation.Start();
      m_wire.insert(m_wire.end(), opening.begin(), opening.end());
      Pump();
    }
    try {
      m_reader = std::thread([this] { ReaderLoop(); });
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    if (!m_telnet) return 0;
    std::unique_lock lock(m_mutex);
    WaitUntil(lock, deadline, [this] {
      return m_failed || m_negotiation.ComPort() != tn::Negotiation::State::kRequested;
    });
    if (m_failed) return m_failure;
    switch (m_negotiation.ComPort()) {
      case tn::Negotiation::State::kOff:
        return NetErrorCode(NetFailure::kNoComPort);
      case tn::Negotiation::State::kRequested:
        return NetErrorCode(NetFailure::kTimedOut);
      case tn::Negotiation::State::kOn:
        break;
    }
    // Every modem line and its changes, the receive errors; then the server's settings (a value
    // of 0 asks for the present one).
    const uint8_t all[] = {0xFF};
    const uint8_t errors[] = {tn::kLineBreak | tn::kLineFraming | tn::kLineParity |
                              tn::kLineOverrun};
    tn::AppendComPort(m_wire, tn::kSetModemStateMask, all);
    tn::AppendComPort(m_wire, tn::kSetLineStateMask, errors);
    const uint64_t first = m_sequence + 1;
    const uint8_t query[] = {0};
    const uint8_t rateQuery[] = {0, 0, 0, 0};
    Ask(Kind::kBaudRate, tn::kSetBaudRate, rateQuery, 0);
    Ask(Kind::kDataSize, tn::kSetDataSize, query, 0);
    Ask(Kind::kParity, tn::kSetParity, query, 0);
    Ask(Kind::kStopSize, tn::kSetStopSize, query, 0);
    Pump();
    const Outcome outcome = Await(lock, first, deadline);
    if (m_failed) return m_failure;
    if (!outcome.ok) return NetErrorCode(NetFailure::kTimedOut);
    for (const Answered& a : outcome.answers) {
      switch (a.kind) {
        case Kind::kBaudRate:
          if (a.answer > 0) m_dcb.BaudRate = a.answer;
          break;
        case Kind::kDataSize:
          if (a.answer >= 5 && a.answer <= 8) m_dcb.ByteSize = static_cast<uint8_t>(a.answer);
          break;
        case Kind::kParity:
          for (std::size_t p = 0; p < kParityCodes.size(); ++p) {
            if (kParityCodes[p] == a.answer) m_dcb.Parity = static_cast<uint8_t>(p);
          }
          break;
        case Kind::kStopSize:
          for (std::size_t s = 0; s < kStopCodes.size(); ++s) {
            if (kStopCodes[s] == a.answer) m_dcb.StopBits = static_cast<uint8_t>(s);
          }
          break;
        default:
          break;
      }
    }
    return 0;
  }

  const std::string& DevicePath() const override { return m_path; }

  // The notes of requests the server left unanswered, each kind once; taken once.
  std::vector<std::string> TakeNotes() override {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_notes, {});
  }

  bool SetQueueSizes(uint32_t /*inQueue*/, uint32_t /*outQueue*/) override { return true; }

  bool GetState(DeviceControlBlock* dcb) override {
    if (dcb == nullptr) return false;
    std::lock_guard lock(m_mutex);
    *dcb = m_dcb;
    return true;
  }

  // Sends what changed (everything the first time that the server did not report), control
  // requests first, and waits for the answers.
  bool SetState(const DeviceControlBlock& dcb) override {
    if (!IsValidDeviceControlBlock(dcb)) return false;
    std::unique_lock lock(m_mutex);
    if (m_failed) return false;
    if (!m_telnet) {
      m_dcb = dcb;
      return true;
    }
    const Deadline deadline = Deadline::After(m_url.timeoutMs);
    const uint64_t first = m_sequence + 1;
    const uint8_t flow = FlowCode(dcb);
    if (!m_controlsSet || flow != FlowCode(m_dcb)) Control(flow);
    const bool dtr = dcb.fDtrControl != kDtrControlDisable;
    const bool rts =
        dcb.fRtsControl == kRtsControlEnable || dcb.fRtsControl == kRtsControlHandshake;
    if (!m_controlsSet || dtr != m_dtr) Control(dtr ? tn::kControlDtrOn : tn::kControlDtrOff);
    if (!m_controlsSet || rts != m_rts) Control(rts ? tn::kControlRtsOn : tn::kControlRtsOff);
    if (dcb.BaudRate != m_dcb.BaudRate) {
      const auto value = tn::BaudRateValue(dcb.BaudRate);
      Ask(Kind::kBaudRate, tn::kSetBaudRate, value, dcb.BaudRate);
    }
    if (dcb.ByteSize != m_dcb.ByteSize) {
      const uint8_t value[] = {dcb.ByteSize};
      Ask(Kind::kDataSize, tn::kSetDataSize, value, dcb.ByteSize);
    }
    if (dcb.Parity != m_dcb.Parity) {
      const uint8_t value[] = {kParityCodes[dcb.Parity]};
      Ask(Kind::kParity, tn::kSetParity, value, value[0]);
    }
    if (dcb.StopBits != m_dcb.StopBits) {
      const uint8_t value[] = {kStopCodes[dcb.StopBits]};
      Ask(Kind::kStopSize, tn::kSetStopSize, value, value[0]);
    }
    const Outcome outcome = Finish(lock, first, deadline);
    if (!outcome.ok) return false;
    m_dcb = dcb;
    m_dtr = dtr;
    m_rts = rts;
    m_controlsSet = true;
    return true;
  }

  bool GetTimeouts(CommTimeouts* timeouts) override {
    if (timeouts == nullptr) return false;
    std::lock_guard lock(m_mutex);
    *timeouts = m_timeouts;
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard lock(m_mutex);
    m_timeouts = timeouts;
    return true;
  }

  IoResult Read(uint8_t* buffer, std::size_t size) override {
    CommTimeouts timeouts;
    GetTimeouts(&timeouts);
    return ReadWithTimeouts(
        timeouts, buffer, size, [this](uint8_t* to, std::size_t n) { return ReadAvailable(to, n); },
        [this](int timeoutMs) { return WaitLevel(m_readable.Event(), nullptr, timeoutMs); });
  }

  IoResult ReadAvailable(uint8_t* buffer, std::size_t size) override {
    std::lock_guard lock(m_mutex);
    if (m_received.empty() && m_failed) return {IoStatus::kWaitFailed, 0, m_failure};
    const std::size_t n = std::min(size, m_received.size());
    std::copy_n(m_received.begin(), n, buffer);
    m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(n));
    UpdateLevels();
    // The reader stopped taking bytes while the queue was full: there is room again.
    if (m_readerStalled && m_received.size() < kReceiveLimit) m_kick.Signal();
    return {IoStatus::kOk, n};
  }

  WaitOutcome WaitReadable(int timeoutMs, const WakeEvent* wake) override {
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
      {
        std::lock_guard lock(m_mutex);
        if (!m_received.empty()) return WaitResult::kReady;
        if (m_failed) return {WaitResult::kFailed, m_failure};
      }
      const int waitMs = deadline.RemainingMs();
      if (waitMs == 0) return WaitResult::kTimeout;
      const WaitResult polled = WaitLevel(m_readable.Event(), wake, waitMs);
      if (polled == WaitResult::kWoken) return polled;
    }
  }

  IoResult Write(const uint8_t* data, std::size_t size) override {
    std::unique_lock lock(m_mutex);
    if (m_failed) return {IoStatus::kFailedAtOnce, 0, m_failure};
    const int totalMs = TotalTimeoutMs(m_timeouts.WriteTotalTimeoutMultiplier,
                                       m_timeouts.WriteTotalTimeoutConstant, size);
    const Deadline deadline = totalMs == 0 ? Deadline::Never() : Deadline::After(totalMs);
    std::size_t done = 0;
    for (;;) {
      const std::size_t n = std::min(size - done, kTransmitLimit - m_toSend.size());
      m_toSend.insert(m_toSend.end(), data + done, data + done + n);
      done += n;
      if (n > 0) m_txPending = true;
      Pump();
      if (m_failed) return {IoStatus::kWaitFailed, done, m_failure};
      if (done == size) break;
      // The queue is full (a slow server, or the server suspended our output): wait for room.
      if (!WaitUntil(lock, deadline,
                     [this] { return m_failed || m_toSend.size() < kTransmitLimit; })) {
        break;
      }
    }
    m_unfinishedWrite = done < size;
    return {IoStatus::kOk, done};
  }

  LineResult GetModemStatus(uint32_t* status) override {
    if (status == nullptr) return {false};
    std::lock_guard lock(m_mutex);
    if (m_failed) return {false, m_failure};
    *status = ModemLines();
    return {};
  }

  // Notifications tell of every change, so this waits on an event that they signal.
  WaitOutcome WaitModemLines(uint32_t bits, int timeoutMs, const WakeEvent* wake) override {
    {
      std::lock_guard lock(m_mutex);
      if (m_failed) return {WaitResult::kFailed, m_failure};
      if ((ModemLines() & bits) == bits) return WaitResult::kReady;
    }
    std::optional<WakeEvent> changed;
    try {
      changed.emplace();
    } catch (const std::system_error& e) {
      return {WaitResult::kFailed, e.code().value()};
    }
    WakeEvent* const event = &*changed;
    const Deadline deadline = Deadline::After(timeoutMs);
    {
      std::lock_guard lock(m_mutex);
      m_modemWaiters.push_back(event);
    }
    WaitOutcome result = WaitResult::kTimeout;
    for (;;) {
      {
        std::lock_guard lock(m_mutex);
        if (m_failed) {
          result = {WaitResult::kFailed, m_failure};
          break;
        }
        if ((ModemLines() & bits) == bits) {
          result = WaitResult::kReady;
          break;
        }
      }
      const int waitMs = deadline.RemainingMs();
      result = waitMs == 0 ? WaitResult::kTimeout : WaitLevel(*event, wake, waitMs);
      if (result != WaitResult::kReady) break;
      event->Clear();
    }
    std::lock_guard lock(m_mutex);
    std::erase(m_modemWaiters, event);
    return result;
  }

  bool EscapeFunction(uint32_t function) override {
    uint8_t value = 0;
    switch (function) {
      case kSetDtr:
        value = tn::kControlDtrOn;
        break;
      case kClrDtr:
        value = tn::kControlDtrOff;
        break;
      case kSetRts:
        value = tn::kControlRtsOn;
        break;
      case kClrRts:
        value = tn::kControlRtsOff;
        break;
      case kSetBreak:
        value = tn::kControlBreakOn;
        break;
      case kClrBreak:
        value = tn::kControlBreakOff;
        break;
      default:
        return false;
    }
    std::unique_lock lock(m_mutex);
    if (m_failed) return false;
    if (!m_telnet) return true;  // raw TCP carries no line control
    const uint64_t first = m_sequence + 1;
    Control(value);
    return Finish(lock, first, Deadline::After(m_url.timeoutMs)).ok;
  }

  bool Purge(uint32_t flags) override {
    if (flags & ~kPurgeFlags) return false;
    const bool rx = flags & kPurgeRxClear;
    std::unique_lock lock(m_mutex);
    if (m_failed) return false;
    // As on a tty, the output clear drops only what a write that ran out of time left queued.
    const bool tx = (flags & kPurgeTxClear) && m_unfinishedWrite;
    if (tx) {
      m_unfinishedWrite = false;
      m_toSend.clear();
    }
    if (rx && m_telnet) {
      // The server's answer comes after every byte it had received before the purge, so the
      // bytes are dropped once it is here.
      const uint64_t first = m_sequence + 1;
      const uint8_t which[] = {tn::kPurgeReceive};
      Ask(Kind::kPurge, tn::kPurgeData, which, tn::kPurgeReceive);
      if (tx) {
        const uint8_t out[] = {tn::kPurgeTransmit};
        Ask(Kind::kPurge, tn::kPurgeData, out, tn::kPurgeTransmit);
      }
      if (!Finish(lock, first, Deadline::After(m_url.timeoutMs)).ok) return false;
    } else if (tx && m_telnet) {
      const uint8_t out[] = {tn::kPurgeTransmit};
      tn::AppendComPort(m_wire, tn::kPurgeData, out);
      Pump();
    }
    if (rx) m_received.clear();
    UpdateLevels();
    return !m_failed;
  }

  bool ClearError(uint32_t* errors, CommStatus* status) override {
    std::lock_guard lock(m_mutex);
    if (errors != nullptr) *errors = m_errors;
    m_errors = 0;
    if (status != nullptr) {
      status->cbInQue = static_cast<uint32_t>(m_received.size());
      status->cbOutQue = static_cast<uint32_t>(m_toSend.size());
      status->received = m_receivedTotal;
    }
    return true;
  }

  bool SetEventMask(uint32_t mask) override {
    std::lock_guard lock(m_mutex);
    m_eventMask = mask;
    m_pendingEvents = 0;
    m_pendingHeld = 0;
    ++m_maskGeneration;
    if (m_eventWaiters > 0) m_maskInterrupt = true;
    UpdateLevels();
    return true;
  }

  bool GetEventMask(uint32_t* mask) override {
    if (mask == nullptr) return false;
    std::lock_guard lock(m_mutex);
    *mask = m_eventMask;
    return true;
  }

  // Events are raised as they happen, under the line's mutex, so a hold accounts them exactly.
  void HoldEvents(uint32_t mask, bool report) override {
    std::lock_guard lock(m_mutex);
    m_heldMask = mask & (kEvRxChar | kEvTxEmpty);
    m_holdReports = report;
  }

  void ReleaseEvents() override {
    std::lock_guard lock(m_mutex);
    m_heldMask = 0;
    m_holdReports = false;
  }

  WaitOutcome WaitEvent(uint32_t* events, int timeoutMs, const WakeEvent* wake) override {
    return WaitEventHeld(events, nullptr, timeoutMs, wake);
  }

  WaitOutcome WaitEventHeld(uint32_t* events, uint32_t* held, int timeoutMs,
                            const WakeEvent* wake) override {
    if (events != nullptr) *events = 0;
    if (held != nullptr) *held = 0;
    const Deadline deadline = Deadline::After(timeoutMs);
    uint64_t generation;
    {
      std::lock_guard lock(m_mutex);
      if (m_eventMask == 0) return WaitResult::kFailed;  // nothing could ever end the wait
      generation = m_maskGeneration;
      ++m_eventWaiters;
    }
    auto finish = [this](WaitOutcome result) {  // under the mutex
      if (--m_eventWaiters == 0) m_maskInterrupt = false;
      UpdateLevels();
      return result;
    };
    for (;;) {
      {
        std::lock_guard lock(m_mutex);
        if (m_failed) return finish({WaitResult::kFailed, m_failure});
        // A new mask ends the wait with no events, as SetCommMask does to a pending wait.
        if (m_maskGeneration != generation) return finish(WaitResult::kReady);
        if (m_pendingEvents != 0 || m_pendingHeld != 0) {
          if (events != nullptr) *events = m_pendingEvents | m_pendingHeld;
          if (held != nullptr) *held = m_pendingHeld & ~m_pendingEvents;
          m_pendingEvents = 0;
          m_pendingHeld = 0;
          return finish(WaitResult::kReady);
        }
      }
      const int waitMs = deadline.RemainingMs();
      const WaitResult polled =
          waitMs == 0 ? WaitResult::kTimeout : WaitLevel(m_eventLevel.Event(), wake, waitMs);
      if (polled != WaitResult::kReady) {
        std::lock_guard lock(m_mutex);
        return finish(polled);
      }
    }
  }

 private:
  struct Request {
    Kind kind;
    uint64_t sequence;
    uint32_t value;  // what was asked (0: a query)
    enum class State : uint8_t { kWaiting, kAnswered, kPassedOver } state = State::kWaiting;
    uint32_t answer = 0;
  };
  struct Answered {
    Kind kind;
    uint32_t answer;
  };
  struct Outcome {
    bool ok = true;
    std::vector<Answered> answers;
  };

  // ---- under m_mutex from here on ----

  uint32_t ModemLines() const {
    return !m_telnet || m_url.ignoreModemState ? kReadyLines : m_modem;
  }

  void UpdateLevels() {
    m_readable.Set(!m_received.empty() || m_failed);
    m_eventLevel.Set(m_pendingEvents != 0 || m_pendingHeld != 0 || m_maskInterrupt || m_failed);
  }

  void Raise(uint32_t events) {
    events &= m_eventMask;
    m_pendingEvents |= events & ~m_heldMask;
    if (m_holdReports) m_pendingHeld |= events & m_heldMask;
  }

  void Fail(int error) {
    if (m_failed) return;
    m_failed = true;
    m_failure = error != 0 ? error : NetErrorCode(NetFailure::kClosed);
    UpdateLevels();
    for (WakeEvent* waiter : m_modemWaiters) waiter->Signal();
    m_changed.notify_all();
  }

  // Waits on m_changed until `done` or the deadline; false when the deadline came first.
  template <typename Done>
  bool WaitUntil(std::unique_lock<std::mutex>& lock, const Deadline& deadline, Done done) {
    while (!done()) {
      const int ms = deadline.RemainingMs();
      if (ms == 0) return false;
      if (ms < 0) {
        m_changed.wait(lock);
      } else {
        m_changed.wait_for(lock, std::chrono::milliseconds(ms));
      }
    }
    return true;
  }

  // Sends a COM port request whose answer is awaited (when its kind still is).
  void Ask(Kind kind, uint8_t command, tn::ByteView value, uint32_t asked) {
    tn::AppendComPort(m_wire, command, value);
    if (m_awaited[static_cast<std::size_t>(kind)]) {
      m_pending.push_back(Request{kind, ++m_sequence, asked});
    }
  }

  void Control(uint8_t value) {
    const uint8_t bytes[] = {value};
    Ask(ControlKind(value), tn::kSetControl, bytes, value);
  }

  // Sends the batch asked since `first` (with a rate query behind it when its last request may
  // go unanswered), waits for the answers, and notes the kinds left unanswered.
  Outcome Finish(std::unique_lock<std::mutex>& lock, uint64_t first, const Deadline& deadline) {
    if (!m_pending.empty() && m_pending.back().sequence >= first &&
        !MustBeAnswered(m_pending.back().kind)) {
      const uint8_t rateQuery[] = {0, 0, 0, 0};
      Ask(Kind::kBaudRate, tn::kSetBaudRate, rateQuery, 0);
    }
    Pump();
    return Await(lock, first, deadline);
  }

  // Waits until every request from `first` on is answered or passed over, or the deadline.
  Outcome Await(std::unique_lock<std::mutex>& lock, uint64_t first, const Deadline& deadline) {
    const uint64_t last = m_sequence;
    auto settled = [&] {
      if (m_failed) return true;
      for (const Request& r : m_pending) {
        if (r.sequence < first || r.sequence > last) continue;
        // A line setting passed over is still waited for: only its answer or time-out tells.
        if (r.state == Request::State::kWaiting ||
            (r.state == Request::State::kPassedOver && MustBeAnswered(r.kind))) {
          return false;
        }
      }
      return true;
    };
    WaitUntil(lock, deadline, settled);
    Outcome outcome;
    if (m_failed) outcome.ok = false;
    for (const Request& r : m_pending) {
      if (r.sequence < first || r.sequence > last) continue;
      const std::size_t k = static_cast<std::size_t>(r.kind);
      if (r.state == Request::State::kAnswered) {
        outcome.answers.push_back({r.kind, r.answer});
        // A setting the server put otherwise than asked was not applied.
        if (MustBeAnswered(r.kind) && r.value != 0 && r.answer != r.value) {
          m_notes.push_back(m_path + " answered " + KindName(r.kind) + " " +
                            std::to_string(r.value) + " with " + std::to_string(r.answer));
          outcome.ok = false;
        }
      } else if (MustBeAnswered(r.kind)) {
        if (!m_failed) {
          m_notes.push_back(m_path + " did not answer " + KindName(r.kind) + " within " +
                            std::to_string(m_url.timeoutMs) + " ms");
        }
        outcome.ok = false;
      } else if (m_awaited[k]) {
        m_awaited[k] = false;
        m_notes.push_back(m_path + " does not answer " + KindName(r.kind) +
                          "; the line no longer waits for such answers");
      }
    }
    std::erase_if(m_pending,
                  [&](const Request& r) { return r.sequence >= first && r.sequence <= last; });
    return outcome;
  }

  // Moves queued data onto the wire (unless the server suspended it) and sends what the socket
  // takes now; the reader thread sends the rest once the socket is writable.
  void Pump() {
    if (m_failed) return;
    const std::size_t roomBefore = m_toSend.size();
    for (;;) {
      while (!m_suspended && !m_toSend.empty() && m_wire.size() - m_wireSent < kChunk) {
        const std::size_t n = std::min(kChunk, m_toSend.size());
        if (m_telnet) {
          for (std::size_t i = 0; i < n; ++i) {
            const uint8_t b = m_toSend[i];
            m_wire.push_back(b);
            if (b == tn::kIac) m_wire.push_back(tn::kIac);
          }
        } else {
          m_wire.insert(m_wire.end(), m_toSend.begin(),
                        m_toSend.begin() + static_cast<std::ptrdiff_t>(n));
        }
        m_toSend.erase(m_toSend.begin(), m_toSend.begin() + static_cast<std::ptrdiff_t>(n));
      }
      if (m_wireSent == m_wire.size()) break;
      const IoResult sent = m_socket->Send(m_wire.data() + m_wireSent, m_wire.size() - m_wireSent);
      if (sent.status != IoStatus::kOk) {
        Fail(sent.error);
        return;
      }
      m_wireSent += sent.bytes;
      if (m_wireSent == m_wire.size()) {
        m_wire.clear();
        m_wireSent = 0;
      }
      if (sent.bytes == 0 || m_wireSent != 0) break;  // the socket takes no more for now
    }
    if (m_txPending && m_toSend.empty() && m_wire.empty()) {
      m_txPending = false;
      Raise(kEvTxEmpty);
      UpdateLevels();
    }
    if (m_toSend.size() < roomBefore) m_changed.notify_all();
    // The reader sends the rest; it must wait for writability to do so.
    if (!m_wire.empty() && !m_readerSends) m_kick.Signal();
  }

  // ---- the reader thread ----

  void ReaderLoop() {
    std::vector<uint8_t> buffer(kChunk);
    tn::Bytes data;
    std::vector<tn::Event> events;
    for (;;) {
      bool read = false;
      bool write = false;
      {
        std::lock_guard lock(m_mutex);
        if (m_stop || m_failed) return;
        read = m_received.size() < kReceiveLimit;
        write = m_wireSent < m_wire.size();
        m_readerStalled = !read;
        m_readerSends = write;
      }
      const WaitOutcome waited = m_socket->Wait(read, write, &m_kick, -1);
      if (waited == WaitResult::kFailed) {
        std::lock_guard lock(m_mutex);
        Fail(waited.error);
        return;
      }
      if (waited == WaitResult::kWoken) {
        m_kick.Clear();
        continue;
      }
      if (write) {
        std::lock_guard lock(m_mutex);
        Pump();
      }
      if (!read) continue;
      const IoResult got = m_socket->Receive(buffer.data(), buffer.size());
      std::lock_guard lock(m_mutex);
      if (got.bytes > 0) Absorb({buffer.data(), got.bytes}, data, events);
      if (got.status != IoStatus::kOk) Fail(got.error);
    }
  }

  void Absorb(tn::ByteView wire, tn::Bytes& data, std::vector<tn::Event>& events) {
    tn::ByteView payload = wire;
    if (m_telnet) {
      data.clear();
      events.clear();
      m_decoder.Feed(wire, &data, &events);
      payload = data;
    }
    if (!payload.empty()) {
      m_received.insert(m_received.end(), payload.begin(), payload.end());
      m_receivedTotal += payload.size();
      uint32_t raised = kEvRxChar;
      if (std::find(payload.begin(), payload.end(), static_cast<uint8_t>(m_dcb.EvtChar)) !=
          payload.end()) {
        raised |= kEvRxFlag;
      }
      Raise(raised);
    }
    for (const tn::Event& event : events) Handle(event);
    if (m_decoder.Broken()) Fail(NetErrorCode(NetFailure::kProtocol));
    Pump();  // negotiation replies, data a resume released
    UpdateLevels();
  }

  void Handle(const tn::Event& event) {
    if (event.kind == tn::Event::Kind::kOption) {
      const tn::Bytes reply = m_negotiation.Receive(event.code, event.option);
      m_wire.insert(m_wire.end(), reply.begin(), reply.end());
      if (event.option == tn::kOptionComPort) m_changed.notify_all();
      return;
    }
    // Other commands, other options' subnegotiations and malformed ones say nothing here.
    if (event.kind != tn::Event::Kind::kSubnegotiation || event.option != tn::kOptionComPort ||
        event.malformed) {
      return;
    }
    const auto message = tn::ParseComPortMessage(event.payload);
    if (!message) return;
    switch (message->command) {
      case tn::kNotifyModemState:
        Notified(static_cast<uint8_t>(message->value));
        return;
      case tn::kNotifyLineState:
        LineState(static_cast<uint8_t>(message->value));
        return;
      case tn::kFlowControlSuspend:
        m_suspended = true;
        return;
      case tn::kFlowControlResume:
        m_suspended = false;
        return;
      default:
        break;
    }
    const auto kind = AnswerKind(*message);
    if (!kind) return;
    // The oldest waiting request of the kind is answered; waiting ones before it were passed over.
    for (Request& r : m_pending) {
      if (r.state != Request::State::kWaiting) continue;
      if (r.kind == *kind) {
        r.state = Request::State::kAnswered;
        r.answer = message->value;
        for (Request& earlier : m_pending) {
          if (&earlier == &r) break;
          if (earlier.state == Request::State::kWaiting) {
            earlier.state = Request::State::kPassedOver;
          }
        }
        m_changed.notify_all();
        return;
      }
    }
  }

  void Notified(uint8_t state) {
    if (m_url.ignoreModemState) return;
    const uint32_t lines = state & tn::kModemLines;
    const uint32_t changed = (lines ^ m_modem) | ((state & 0x0F) << 4);
    uint32_t events = 0;
    if (changed & kMsCtsOn) events |= kEvCts;
    if (changed & kMsDsrOn) events |= kEvDsr;
    if (changed & kMsRlsdOn) events |= kEvRlsd;
    if ((changed & kMsRingOn) && (lines & kMsRingOn || state & 0x04)) events |= kEvRing;
    m_modem = lines;
    Raise(events);
    for (WakeEvent* waiter : m_modemWaiters) waiter->Signal();
  }

  void LineState(uint8_t state) {
    uint32_t errors = 0;
    if (state & tn::kLineBreak) errors |= kCeBreak;
    if (state & tn::kLineFraming) errors |= kCeFrame;
    if (state & tn::kLineParity) errors |= kCeRxParity;
    if (state & tn::kLineOverrun) errors |= kCeOverrun;
    if (errors == 0) return;
    m_errors |= errors;
    Raise(kEvErr | ((errors & kCeBreak) ? kEvBreak : 0u));
  }

  const std::unique_ptr<NetSocket> m_socket;
  const NetUrl m_url;
  const std::string m_path;
  const bool m_telnet;
  WakeEvent m_kick;  // the reader looks again (stop, room to receive, bytes to send)
  std::thread m_reader;

  std::mutex m_mutex;
  std::condition_variable m_changed;  // answers, negotiation, room in the output queue, failure
  bool m_stop = false;
  bool m_failed = false;
  int m_failure = 0;
  bool m_readerStalled = false;  // the reader does not take bytes (the receive queue is full)
  bool m_readerSends = false;    // the reader waits to send the wire's rest

  tn::Decoder m_decoder;
  tn::Negotiation m_negotiation;
  std::deque<Request> m_pending;
  uint64_t m_sequence = 0;
  std::array<bool, kKinds> m_awaited{};
  std::vector<std::string> m_notes;

  std::deque<uint8_t> m_received;
  uint64_t m_receivedTotal = 0;
  std::deque<uint8_t> m_toSend;  // data written and not yet on the wire
  tn::Bytes m_wire;              // bytes for the socket, in order, from m_wireSent on
  std::size_t m_wireSent = 0;
  bool m_suspended = false;  // FLOWCONTROL-SUSPEND: data waits, requests still go
  bool m_txPending = false;
  bool m_unfinishedWrite = false;

  DeviceControlBlock m_dcb;
  bool m_controlsSet = false;  // flow control, DTR and RTS were sent once
  bool m_dtr = false;
  bool m_rts = false;
  CommTimeouts m_timeouts;
  uint32_t m_modem = kReadyLines;  // until the server tells
  uint32_t m_errors = 0;

  uint32_t m_eventMask = 0;
  uint32_t m_pendingEvents = 0;
  uint32_t m_heldMask = 0;
  bool m_holdReports = false;
  uint32_t m_pendingHeld = 0;
  uint64_t m_maskGeneration = 0;
  int m_eventWaiters = 0;
  bool m_maskInterrupt = false;
  std::vector<WakeEvent*> m_modemWaiters;
  Level m_readable;
  Level m_eventLevel;
};

}  // namespace

OpenResult OpenNetLine(const NetUrl& url) {
  const std::string where = NetUrlText(url);
  ConnectResult connected = ConnectTcp(url.host, url.port, url.timeoutMs, nullptr);
  if (!connected.socket) {
    return OpenResult{nullptr, SerialError{connected.error, connected.text + ": " + where}};
  }
  std::unique_ptr<NetLine> line;
  try {
    line = std::make_unique<NetLine>(std::move(connected.socket), url);
  } catch (const std::system_error& e) {  // no event left for the line's waits
    return OpenResult{nullptr, SerialError{e.code().value(), e.what()}};
  }
  if (const int error = line->Start(); error != 0) {
    return OpenResult{nullptr, SerialError{error, SystemErrorText(error) + ": " + where}};
  }
  return OpenResult{std::move(line), {}};
}

}  // namespace linvo::platform
