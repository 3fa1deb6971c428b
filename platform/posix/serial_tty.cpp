// The POSIX tty backend: real UARTs, USB adapters and pseudo-terminals through termios.
//
// Every wait blocks in poll() on the descriptor and the caller's wake-up descriptor. Idle cost:
// Read and WaitReadable sleep in the kernel until bytes, a hang-up, the wake-up or the time-out.
// WaitEvent also sleeps without wake-ups on a line whose receive queue is empty, unless it must
// watch something no descriptor reports: unread bytes still queued (POLLIN stays set, so it
// looks for more by the counts instead), output draining after a write (kEvTxEmpty), modem lines
// of a device that has them, and error counters of a driver that keeps them. While any of those
// is in the mask and applies, it re-checks every kRecheckMs (a few ioctls a time); a
// pseudo-terminal has neither modem lines nor counters, so it never does that when idle.
//
// The receive descriptor sits in an epoll set that WaitEvent polls, so that another thread can
// change what wakes the waiter without waking it: a hold that drops the receive and transmit
// events (a synchronous exchange on the line) takes the descriptor out of the waiter's view, and
// its release puts it back, while the waiter sleeps on.
#include "platform/posix/serial_tty.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "platform/deadline.h"
#include "platform/error_text.h"
#include "platform/serial_backend.h"
#include "platform/serial_low_latency.h"
#include "platform/wake_event.h"

namespace linvo::platform {
namespace {

// How often WaitEvent re-reads counts, modem lines and counters while it must (see above).
constexpr int kRecheckMs = 10;

constexpr uint32_t kModemEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
constexpr uint32_t kErrorEvents = kEvErr | kEvBreak;
// kEvRxFlag is not reported here: telling the event character would mean reading the bytes.
constexpr uint32_t kReceiveEvents = kEvRxChar;
// The events a hold can take (HoldEvents).
constexpr uint32_t kHoldableEvents = kEvRxChar | kEvTxEmpty;
// Sets the calling thread's timer slack to the least for its lifetime, then puts back what the
// thread had. A quiet gap waits so: poll's time-out otherwise gets the thread's slack (50 us by
// default), a twentieth of the 1 ms gap that ends a receive.
class ExactTimers {
 public:
  ExactTimers() : m_saved(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    if (m_saved > 1) {
      prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    } else {
      m_saved = -1;
    }
  }
  ~ExactTimers() {
    if (m_saved > 1) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_saved), 0, 0, 0);
  }
  ExactTimers(const ExactTimers&) = delete;
  ExactTimers& operator=(const ExactTimers&) = delete;

 private:
  int m_saved;
};

// A descriptor the line creates for itself, closed with it; `what` names it in the error thrown
// when the system gives none.
class OwnedDescriptor {
 public:
  OwnedDescriptor(int fd, const char* what) : m_fd(fd) {
    if (m_fd < 0) throw std::system_error(errno, std::generic_category(), what);
  }
  ~OwnedDescriptor() { close(m_fd); }
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
  int Native() const { return m_fd; }

 private:
  const int m_fd;
};

// The rates termios names; any other goes through termios2.
constexpr struct {
  uint32_t baud;
  speed_t code;
} kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// CSIZE codes of 5..8 data bits.
constexpr tcflag_t kByteSizes[] = {CS5, CS6, CS7, CS8};

// The termios code of a standard rate, B0 for any other.
speed_t StandardSpeed(uint32_t baud) {
  for (const auto& entry : kStandardSpeeds) {
    if (entry.baud == baud) return entry.code;
  }
  return B0;
}

bool Failed(short revents) { return (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0; }

// The system's error of a wake-up descriptor that poll reports failed.
int WakeFailure(short revents) { return (revents & POLLNVAL) ? EBADF : 0; }

class TtyLine final : public SerialLine {
 public:
  // Takes over the descriptor (opened, locked and made exclusive by OpenTtyLine).
  TtyLine(int fd, std::string path, const TtyOptions& options)
      : m_fd(fd),
        m_path(std::move(path)),
        m_epoll(epoll_create1(EPOLL_CLOEXEC), "epoll"),
        m_lowLatency(std::in_place, fd, options.lowLatency) {
    epoll_event interest{};  // nothing yet: WaitEvent arms what it needs
    if (epoll_ctl(m_epoll.Native(), EPOLL_CTL_ADD, m_fd, &interest) != 0) {
      const int code = errno;
      m_lowLatency.reset();
      throw std::system_error(code, std::generic_category(), "epoll");
    }
    int bits = 0;
    m_hasModemLines = ioctl(m_fd, TIOCMGET, &bits) == 0;
    serial_icounter_struct counters{};
    m_hasCounters = ioctl(m_fd, TIOCGICOUNT, &counters) == 0;
    m_errorBase = counters;
  }

  ~TtyLine() override {
    m_lowLatency.reset();  // the driver's mode goes back while the line is still ours
    ioctl(m_fd, TIOCNXCL);
    flock(m_fd, LOCK_UN);
    close(m_fd);
  }

  // Takes over the line's present framing and sets it raw; false (errno set) when the driver
  // refuses.
  bool Initialise() {
    termios settings{};
    if (tcgetattr(m_fd, &settings) != 0) return false;
    DeviceControlBlock dcb;
    dcb.BaudRate = GetTtyOutputSpeed(m_fd).value_or(9600);
    if (dcb.BaudRate == 0) dcb.BaudRate = 9600;
    for (uint8_t bits = 5; bits <= 8; ++bits) {
      if ((settings.c_cflag & CSIZE) == kByteSizes[bits - 5]) dcb.ByteSize = bits;
    }
    if (settings.c_cflag & PARENB) {
      const bool odd = settings.c_cflag & PARODD;
      if (settings.c_cflag & CMSPAR) {
        dcb.Parity = odd ? kMarkParity : kSpaceParity;
      } else {
        dcb.Parity = odd ? kOddParity : kEvenParity;
      }
    }
    dcb.StopBits = (settings.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
    dcb.fOutxCtsFlow = settings.c_cflag & CRTSCTS;
    return SetState(dcb);
  }

  const std::string& DevicePath() const override { return m_path; }

  LowLatencyOutcome LowLatency() const override { return m_lowLatency->Outcome(); }

  bool SetQueueSizes(uint32_t /*inQueue*/, uint32_t /*outQueue*/) override {
    // The driver's queues have fixed sizes; the request is advisory, as Windows allows.
    return true;
  }

  bool GetState(DeviceControlBlock* dcb) override {
    if (dcb == nullptr) return false;
    std::lock_guard lock(m_mutex);
    *dcb = m_dcb;
    return true;
  }

  bool SetState(const DeviceControlBlock& dcb) override {
    if (!IsValidDeviceControlBlock(dcb)) return false;
    std::lock_guard lock(m_mutex);
    termios settings{};
    if (tcgetattr(m_fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag |= kByteSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
      case kOddParity:
        settings.c_cflag |= PARENB | PARODD;
        break;
      case kEvenParity:
        settings.c_cflag |= PARENB;
        break;
      case kMarkParity:
        settings.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case kSpaceParity:
        settings.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (dcb.fParity && dcb.Parity != kNoParity) settings.c_iflag |= INPCK;
    // 1.5 stop bits exist only with 5-bit bytes on a UART; termios has one or two.
    if (dcb.StopBits != kOneStopBit) settings.c_cflag |= CSTOPB;
    // CRTSCTS is both ways on Linux: CTS holds output, RTS follows the receive buffer.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsControlHandshake) settings.c_cflag |= CRTSCTS;
    if (dcb.fOutX) settings.c_iflag |= IXON;
    if (dcb.fInX) settings.c_iflag |= IXOFF;
    settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // Non-blocking reads that return what is there; every wait is a poll().
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;

    const speed_t standard = StandardSpeed(dcb.BaudRate);
    if (standard != B0) {
      cfsetispeed(&settings, standard);
      cfsetospeed(&settings, standard);
    }
    if (tcsetattr(m_fd, TCSANOW, &settings) != 0) {
      // The C library reports EINVAL when the driver kept its own byte size or parity, as a
      // pseudo-terminal does (always 8 bits, no parity): framing that the line does not have
      // is accepted when everything else was applied.
      termios applied{};
      constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR;
      if (errno != EINVAL || tcgetattr(m_fd, &applied) != 0 ||
          (applied.c_cflag & ~kFraming) != (settings.c_cflag & ~kFraming) ||
          applied.c_iflag != settings.c_iflag) {
        return false;
      }
    }
    if (standard == B0 && !SetTtyCustomSpeed(m_fd, dcb.BaudRate)) return false;

    // DTR and RTS: ENABLE and HANDSHAKE raise the line (the driver has no DTR handshake; with
    // CRTSCTS it drives RTS itself), DISABLE drops it. RTS TOGGLE drops RTS: its level between
    // transmissions (the driver does not toggle it around writes).
    DriveModemLine(TIOCM_DTR, dcb.fDtrControl != kDtrControlDisable);
    DriveModemLine(TIOCM_RTS,
                   dcb.fRtsControl == kRtsControlEnable || dcb.fRtsControl == kRtsControlHandshake);
    m_dcb = dcb;
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
        [this](int timeoutMs) { return PollDescriptor(POLLIN, timeoutMs); });
  }

  IoResult ReadAvailable(uint8_t* buffer, std::size_t size) override {
    return Take(buffer, size, true);
  }

  // The caller's next wait tells a hang-up, so an empty read needs no poll of its own.
  IoResult ReadQueued(uint8_t* buffer, std::size_t size) override {
    return Take(buffer, size, false);
  }

  // The gap runs from the moment every byte taken so far was there (see Take), not from when
  // the caller came to wait: the line was already quiet while the bytes were read and handled.
  WaitOutcome WaitQuietGap(int timeoutMs) override {
    const ExactTimers exact;
    Deadline quietSince = Deadline::Never();
    {
      std::lock_guard lock(m_mutex);
      quietSince = m_quietSince;
    }
    return WaitReadableUntil(
        quietSince.IsNever() ? Deadline::After(timeoutMs) : quietSince.Later(timeoutMs), nullptr);
  }

  WaitOutcome WaitReadable(int timeoutMs, const WakeEvent* wake) override {
    return WaitReadableUntil(Deadline::After(timeoutMs), wake);
  }

  IoResult Write(const uint8_t* data, std::size_t size) override {
    CommTimeouts timeouts;
    GetTimeouts(&timeouts);
    const int totalMs = TotalTimeoutMs(timeouts.WriteTotalTimeoutMultiplier,
                                       timeouts.WriteTotalTimeoutConstant, size);
    const Deadline deadline = totalMs == 0 ? Deadline::Never() : Deadline::After(totalMs);
    IoResult result;
    bool firstAttempt = true;
    while (result.bytes < size) {
      const ssize_t n = write(m_fd, data + result.bytes, size - result.bytes);
      if (n > 0) {
        result.bytes += static_cast<std::size_t>(n);
        firstAttempt = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        result.status = firstAttempt ? IoStatus::kFailedAtOnce : IoStatus::kWaitFailed;
        result.error = errno;
        break;
      }
      firstAttempt = false;
      // The driver's buffer is full (flow control or a slow line): wait for room.
      const int waitMs = deadline.RemainingMs();
      if (waitMs == 0) break;
      const WaitOutcome room = PollDescriptor(POLLOUT, waitMs);
      if (room == WaitResult::kFailed) {
        result.status = IoStatus::kWaitFailed;
        result.error = room.error;
        break;
      }
    }
    bool kick = false;
    {
      std::lock_guard lock(m_mutex);
      m_unfinishedWrite = result.bytes < size;
      if (result.bytes > 0) {
        m_txPending = true;
        // The waiter starts watching the output drain (unless a hold drops it).
        kick = (Watched() & kEvTxEmpty) != 0;
      }
    }
    // Woken after the mutex is free, so that the waiter does not wake only to wait for it.
    if (kick) Kick();
    return result;
  }

  LineResult GetModemStatus(uint32_t* status) override {
    if (status == nullptr) return {false};
    if (!m_hasModemLines) {
      // Wired as a line whose far end is always there and ready.
      *status = kMsCtsOn | kMsDsrOn | kMsRlsdOn;
      return {};
    }
    int bits = 0;
    if (ioctl(m_fd, TIOCMGET, &bits) != 0) return {false, errno};
    *status = ((bits & TIOCM_CTS) ? uint32_t{kMsCtsOn} : 0u) |
              ((bits & TIOCM_DSR) ? uint32_t{kMsDsrOn} : 0u) |
              ((bits & TIOCM_RNG) ? uint32_t{kMsRingOn} : 0u) |
              ((bits & TIOCM_CAR) ? uint32_t{kMsRlsdOn} : 0u);
    return {};
  }

  bool EscapeFunction(uint32_t function) override {
    switch (function) {
      case kSetRts:
        return DriveModemLine(TIOCM_RTS, true);
      case kClrRts:
        return DriveModemLine(TIOCM_RTS, false);
      case kSetDtr:
        return DriveModemLine(TIOCM_DTR, true);
      case kClrDtr:
        return DriveModemLine(TIOCM_DTR, false);
      case kSetBreak:
      case kClrBreak: {
        if (ioctl(m_fd, function == kSetBreak ? TIOCSBRK : TIOCCBRK) == 0) return true;
        // A device without a break (pseudo-terminal, some adapters) takes it as done.
        return !m_hasModemLines || errno == ENOTTY || errno == EINVAL;
      }
      default:
        return false;
    }
  }

  bool Purge(uint32_t flags) override {
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return false;
    // The ABORT flags end pending overlapped calls; calls here are synchronous, so none is pending.
    const bool rx = flags & kPurgeRxClear;
    const bool tx = flags & kPurgeTxClear;
    if (!rx && !tx) return true;
    std::lock_guard lock(m_mutex);
    // A write that completed has handed all its bytes to the line, as a completed WriteFile has;
    // flushing the output queue then would drop bytes on their way (on a pseudo-terminal, bytes
    // the far end has not read yet). The output clear therefore discards only what a write that
    // ran out of time left behind.
    const bool flushTx = tx && m_unfinishedWrite;
    if (flushTx) m_unfinishedWrite = false;
    if (!rx && !flushTx) return true;
    // Purged bytes count as taken, so the received total never goes back (see CollectEvents).
    const int dropped = rx ? InQueue().value_or(0) : 0;
    if (tcflush(m_fd, rx && flushTx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) != 0) return false;
    m_taken += static_cast<uint64_t>(dropped);
    if (rx) m_quietSince = Deadline::Never();
    return true;
  }

  bool ClearError(uint32_t* errors, CommStatus* status) override {
    std::lock_guard lock(m_mutex);
    if (errors != nullptr) {
      *errors = 0;
      serial_icounter_struct now{};
      if (m_hasCounters && ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
        const serial_icounter_struct& was = m_errorBase;
        if (now.frame != was.frame) *errors |= kCeFrame;
        if (now.overrun != was.overrun) *errors |= kCeOverrun;
        if (now.parity != was.parity) *errors |= kCeRxParity;
        if (now.brk != was.brk) *errors |= kCeBreak;
        if (now.buf_overrun != was.buf_overrun) *errors |= kCeRxOver;
        m_errorBase = now;
      }
    }
    if (status != nullptr) {
      const auto in = InQueue();
      const auto out = OutQueue();
      if (!in || !out) return false;
      status->cbInQue = static_cast<uint32_t>(*in);
      status->cbOutQue = static_cast<uint32_t>(*out);
      status->received = m_taken + static_cast<uint64_t>(*in);
    }
    return true;
  }

  bool SetEventMask(uint32_t mask) override {
    std::lock_guard lock(m_mutex);
    m_eventMask = mask;
    m_pendingEvents = 0;
    m_pendingHeld = 0;
    ++m_maskGeneration;
    // Events count from here: take the present state as the baseline.
    m_lastInQueue = InQueue().value_or(0);
    m_lastReceived = m_taken + static_cast<uint64_t>(m_lastInQueue);
    if (m_hasModemLines) ioctl(m_fd, TIOCMGET, &m_lastModem);
    if (m_hasCounters) ioctl(m_fd, TIOCGICOUNT, &m_eventBase);
    Kick();  // a waiter re-reads the mask
    return true;
  }

  bool GetEventMask(uint32_t* mask) override {
    if (mask == nullptr) return false;
    std::lock_guard lock(m_mutex);
    *mask = m_eventMask;
    return true;
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
    }
    for (;;) {
      bool recheck = false;
      {
        std::lock_guard lock(m_mutex);
        // A new mask ends the wait with no events, as SetCommMask does to a pending wait.
        if (m_maskGeneration != generation) return WaitResult::kReady;
        Account(CollectEvents() & m_eventMask);
        if (m_pendingEvents != 0 || m_pendingHeld != 0) {
          if (events != nullptr) *events = m_pendingEvents | m_pendingHeld;
          if (held != nullptr) *held = m_pendingHeld & ~m_pendingEvents;
          m_pendingEvents = 0;
          m_pendingHeld = 0;
          return WaitResult::kReady;
        }
        recheck = ArmWaiter();
        m_waiterRechecks = recheck;
      }
      int waitMs = deadline.RemainingMs();
      if (waitMs == 0) return WaitResult::kTimeout;
      if (recheck && (waitMs < 0 || waitMs > kRecheckMs)) waitMs = kRecheckMs;

      pollfd fds[3] = {{m_epoll.Native(), POLLIN, 0},
                       {m_kick.Native(), POLLIN, 0},
                       {wake != nullptr ? wake->Native() : -1, POLLIN, 0}};
      const int rc = poll(fds, wake != nullptr ? 3 : 2, waitMs);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return {WaitResult::kFailed, errno};
      }
      if (fds[2].revents & POLLIN) return WaitResult::kWoken;
      if (Failed(fds[2].revents)) return {WaitResult::kFailed, WakeFailure(fds[2].revents)};
      if (fds[0].revents & POLLIN) {
        // The line has news: bytes (while armed), or a hang-up or error (always reported).
        epoll_event ready{};
        if (epoll_wait(m_epoll.Native(), &ready, 1, 0) == 1 &&
            (ready.events & (EPOLLERR | EPOLLHUP))) {
          return {WaitResult::kFailed, FailureReason()};
        }
      }
      if (fds[1].revents & POLLIN) m_kick.Clear();
    }
  }

  void HoldEvents(uint32_t mask, bool report) override {
    std::lock_guard lock(m_mutex);
    m_heldMask = mask & kHoldableEvents;
    m_holdReports = report;
    ArmWaiter();  // a dropping hold takes the receive descriptor out of the waiter's view
  }

  // What happened to the held events up to now belongs to the hold: their baselines move on here,
  // under the mutex, so that a waiter that looks later does not take them for new ones.
  void ReleaseEvents() override {
    std::lock_guard lock(m_mutex);
    if (m_heldMask == 0) return;
    uint32_t happened = 0;
    if (m_heldMask & kEvRxChar) {
      const int inQueue = InQueue().value_or(m_lastInQueue);
      const uint64_t received = m_taken + static_cast<uint64_t>(inQueue);
      if (received > m_lastReceived) happened |= kEvRxChar;
      m_lastReceived = received;
      m_lastInQueue = inQueue;
      serial_icounter_struct now{};
      if (m_hasCounters && ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
        if (now.rx != m_eventBase.rx) happened |= kEvRxChar;
        m_eventBase.rx = now.rx;
      }
    }
    if ((m_heldMask & kEvTxEmpty) && m_txPending && OutQueue().value_or(1) == 0) {
      happened |= kEvTxEmpty;
      m_txPending = false;
    }
    happened &= m_eventMask;
    if (m_holdReports) m_pendingHeld |= happened;
    const bool deliver = m_holdReports && m_pendingHeld != 0;
    m_heldMask = 0;
    m_holdReports = false;
    // The descriptor goes back into the waiter's view without waking it; only a re-check timer
    // it does not have yet, or held events to hand over, need a wake.
    const bool recheck = ArmWaiter();
    if ((recheck && !m_waiterRechecks) || deliver) Kick();
  }

 private:
  std::optional<int> InQueue() const {
    int count = 0;
    if (ioctl(m_fd, FIONREAD, &count) != 0) return std::nullopt;
    return count;
  }

  std::optional<int> OutQueue() const {
    int count = 0;
    if (ioctl(m_fd, TIOCOUTQ, &count) != 0) return std::nullopt;
    return count;
  }

  // Raises or drops DTR/RTS; on a device without modem lines that changes nothing and succeeds.
  bool DriveModemLine(int bit, bool on) {
    if (!m_hasModemLines) return true;
    return ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
  }

  void Kick() { m_kick.Signal(); }

  // Non-blocking reads under the mutex, so that WaitEvent sees bytes either still queued or
  // counted as taken, never neither (see CollectEvents). A short read means the queue is empty.
  // The queued bytes are counted first and only those are read: each of them was there at the
  // moment noted between the two, which a quiet gap then counts from (m_quietSince). Bytes
  // that come meanwhile stay queued, so the gap's wait sees them at once. A single byte is not
  // counted: reading it takes no longer than counting it, so the gap counts from after the read.
  IoResult Take(uint8_t* buffer, std::size_t size, bool tellHangUp) {
    IoResult result;
    std::lock_guard lock(m_mutex);
    const int queued = size > 1 ? InQueue().value_or(0) : 0;
    const Deadline counted = Deadline::After(0);
    const bool known = queued > 0;
    const std::size_t wanted = known ? std::min(size, static_cast<std::size_t>(queued)) : size;
    while (result.bytes < wanted) {
      const std::size_t asked = wanted - result.bytes;
      const ssize_t n = read(m_fd, buffer + result.bytes, asked);
      if (n > 0) {
        result.bytes += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < asked) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        result.status = IoStatus::kWaitFailed;
        result.error = errno;
      }
      break;  // 0 (VMIN 0: nothing there) or EAGAIN
    }
    // A hung-up tty reads as empty; poll tells the two apart.
    if (tellHangUp && result.status == IoStatus::kOk && result.bytes == 0) {
      if (const WaitOutcome hungUp = PollDescriptor(POLLIN, 0); hungUp == WaitResult::kFailed) {
        result.status = IoStatus::kWaitFailed;
        result.error = hungUp.error;
      }
    }
    m_taken += result.bytes;
    if (result.bytes > 0) m_quietSince = known ? counted : Deadline::After(0);
    return result;
  }

  // The events of the mask that a waiter must see (a dropping hold takes its events out).
  uint32_t Watched() const { return m_eventMask & ~(m_holdReports ? 0u : m_heldMask); }

  // Events found by a look (under m_mutex): those a hold takes are kept apart to be reported
  // as held, or dropped.
  void Account(uint32_t happened) {
    m_pendingEvents |= happened & ~m_heldMask;
    if (m_holdReports) m_pendingHeld |= happened & m_heldMask;
  }

  // Sets the waiter's view of the receive descriptor for the present state (under m_mutex) and
  // tells whether the waiter must re-check by time. POLLIN is level-triggered: it serves only
  // while the queue is empty.
  bool ArmWaiter() {
    const uint32_t watched = Watched();
    const bool dropping = watched != m_eventMask;
    const bool watchInput = m_lastInQueue == 0 &&
                            ((watched & kReceiveEvents) || (!dropping && (watched & kErrorEvents)));
    if (watchInput != m_inputArmed) {
      epoll_event interest{};
      interest.events = watchInput ? uint32_t{EPOLLIN} : 0u;
      if (epoll_ctl(m_epoll.Native(), EPOLL_CTL_MOD, m_fd, &interest) == 0)
        m_inputArmed = watchInput;
    }
    return ((watched & kReceiveEvents) && m_lastInQueue > 0) ||
           ((watched & kEvTxEmpty) && m_txPending) ||
           ((watched & kModemEvents) && m_hasModemLines) ||
           ((watched & kErrorEvents) && m_hasCounters);
  }

  // The events since the previous look (under m_mutex), moving the baselines on. Bytes received
  // so far = bytes taken by reads and purges + bytes queued; it grows exactly when bytes arrive,
  // even when a reader empties the queue between two looks.
  uint32_t CollectEvents() {
    uint32_t happened = 0;
    const int inQueue = InQueue().value_or(m_lastInQueue);
    const uint64_t received = m_taken + static_cast<uint64_t>(inQueue);
    if (received > m_lastReceived) happened |= kEvRxChar;
    m_lastReceived = received;
    m_lastInQueue = inQueue;
    if (m_hasCounters) {
      serial_icounter_struct now{};
      if (ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
        const serial_icounter_struct& was = m_eventBase;
        // The receive counter also catches bytes that arrived while a reader emptied the queue.
        if (now.rx != was.rx) happened |= kEvRxChar;
        if (now.cts != was.cts) happened |= kEvCts;
        if (now.dsr != was.dsr) happened |= kEvDsr;
        if (now.dcd != was.dcd) happened |= kEvRlsd;
        if (now.rng != was.rng) happened |= kEvRing;
        if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
            now.buf_overrun != was.buf_overrun) {
          happened |= kEvErr;
        }
        if (now.brk != was.brk) happened |= kEvBreak | kEvErr;
        m_eventBase = now;
      }
    }
    if (m_hasModemLines) {
      int bits = 0;
      if (ioctl(m_fd, TIOCMGET, &bits) == 0) {
        const int changed = bits ^ m_lastModem;
        if (changed & TIOCM_CTS) happened |= kEvCts;
        if (changed & TIOCM_DSR) happened |= kEvDsr;
        if (changed & TIOCM_CAR) happened |= kEvRlsd;
        if (changed & TIOCM_RNG) happened |= kEvRing;
        m_lastModem = bits;
      }
    }
    if (m_txPending && OutQueue().value_or(1) == 0) {
      happened |= kEvTxEmpty;
      m_txPending = false;
    }
    return happened;
  }

  // Nanosecond waits (ppoll), so that a gap that began before the call ends on time.
  WaitOutcome WaitReadableUntil(Deadline deadline, const WakeEvent* wake) {
    for (;;) {
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {wake != nullptr ? wake->Native() : -1, POLLIN, 0}};
      const int64_t remainingNs = deadline.RemainingNs();
      const timespec left = {static_cast<time_t>(remainingNs / 1'000'000'000),
                             static_cast<long>(remainingNs % 1'000'000'000)};
      const int rc =
          ppoll(fds, wake != nullptr ? 2 : 1, remainingNs < 0 ? nullptr : &left, nullptr);
      if (rc < 0) {
        if (errno == EINTR) continue;
        return {WaitResult::kFailed, errno};
      }
      if (fds[1].revents & POLLIN) return WaitResult::kWoken;
      if (Failed(fds[0].revents)) return {WaitResult::kFailed, FailureReason()};
      if (Failed(fds[1].revents)) return {WaitResult::kFailed, WakeFailure(fds[1].revents)};
      if (fds[0].revents & POLLIN) return WaitResult::kReady;
      if (rc == 0) return WaitResult::kTimeout;
    }
  }

  WaitOutcome PollDescriptor(short what, int timeoutMs) {
    pollfd fd = {m_fd, what, 0};
    const int rc = poll(&fd, 1, timeoutMs);
    if (rc < 0) {
      if (errno == EINTR) return WaitResult::kReady;
      return {WaitResult::kFailed, errno};
    }
    if (Failed(fd.revents)) return {WaitResult::kFailed, FailureReason()};
    return rc == 0 ? WaitResult::kTimeout : WaitResult::kReady;
  }

  // Why poll reports the descriptor failed: a hung-up or vanished device reads as empty and
  // says nothing, but a driver call on it fails with the system's reason (EIO once a tty has
  // hung up). The queue count is the cheapest such call. 0 when it succeeds after all.
  int FailureReason() const {
    int count = 0;
    return ioctl(m_fd, FIONREAD, &count) != 0 ? errno : 0;
  }

  const int m_fd;
  const std::string m_path;
  const OwnedDescriptor
      m_epoll;  // holds m_fd; readable when the descriptor has what the waiter watches
  bool m_hasModemLines = false;
  bool m_hasCounters = false;
  std::optional<LowLatencyMode> m_lowLatency;
  WakeEvent m_kick;  // wakes a WaitEvent when the mask changes or a write starts draining

  std::mutex m_mutex;
  DeviceControlBlock m_dcb;
  CommTimeouts m_timeouts;
  uint32_t m_eventMask = 0;
  uint32_t m_pendingEvents = 0;
  uint32_t m_heldMask = 0;        // events of the present hold
  bool m_holdReports = false;     // the hold reports its events as held (else drops them)
  uint32_t m_pendingHeld = 0;     // held events not yet handed to a waiter
  bool m_inputArmed = false;      // m_fd's interest in m_epoll is EPOLLIN
  bool m_waiterRechecks = false;  // the last waiter to sleep set a re-check time-out
  uint64_t m_maskGeneration = 0;
  uint64_t m_taken = 0;  // bytes taken from the receive queue by reads and purges
  // A moment by which every byte taken so far had arrived (Never(): none since a purge).
  Deadline m_quietSince = Deadline::Never();
  uint64_t m_lastReceived = 0;  // m_taken + queued bytes at WaitEvent's previous look
  int m_lastInQueue = 0;
  int m_lastModem = 0;
  bool m_txPending = false;
  bool m_unfinishedWrite = false;  // the last write ran out of time with bytes left over
  serial_icounter_struct m_eventBase{};
  serial_icounter_struct m_errorBase{};
};

}  // namespace

OpenResult OpenTtyLine(const std::string& path, const TtyOptions& options) {
  auto fail = [&path](int code) {
    return OpenResult{nullptr, SerialError{code, ErrorText(code) + ": " + path}};
  };
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  auto failClosing = [&](int code) {
    close(fd);
    return fail(code);
  };
  if (!isatty(fd)) return failClosing(errno);
  // flock makes the open exclusive against every descriptor, root's included; TIOCEXCL adds the
  // kernel's own refusal for programs that do not take the lock (it does not stop root). A lock
  // held elsewhere reads EWOULDBLOCK, which says nothing to a user: it is a busy device.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return failClosing(errno == EWOULDBLOCK ? EBUSY : errno);
  ioctl(fd, TIOCEXCL);
  std::unique_ptr<TtyLine> line;
  try {
    line = std::make_unique<TtyLine>(fd, path, options);
  } catch (const std::system_error& e) {  // no descriptor left for the line's wake-up event
    flock(fd, LOCK_UN);
    return failClosing(e.code().value());
  }
  if (!line->Initialise()) {
    const int code = errno != 0 ? errno : EINVAL;
    return fail(code);
  }
  return OpenResult{std::move(line), {}};
}

}  // namespace linvo::platform
