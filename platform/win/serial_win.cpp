// The Win32 serial backend: a COM port opened exclusively for overlapped I/O.
//
// Every blocking call is an overlapped operation waited for together with the caller's wake-up
// event, so a stop request ends it at once (the operation is then cancelled and its outcome
// collected before the call returns). The reader, the writer and the event waiter each have
// their own OVERLAPPED, as the three may run at the same time.
//
// Waiting for received bytes without taking them: a one-byte read with "return at once with
// what is there, else wait for one byte" time-outs; the byte it takes is kept here and delivered
// first by the next read, and counted in the input queue that ClearError reports.
#include <windows.h>

#include <mutex>
#include <optional>

#include "platform/port_names.h"
#include "platform/serial.h"
#include "platform/serial_backend.h"
#include "platform/serial_virtual.h"
#include "platform/win/win_error.h"

namespace linvo::platform {
namespace {

// A manual-reset event for one kind of overlapped call, closed with its owner.
class OverlappedCall {
 public:
  OverlappedCall() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~OverlappedCall() {
    if (m_event != nullptr) CloseHandle(m_event);
  }
  OverlappedCall(const OverlappedCall&) = delete;
  OverlappedCall& operator=(const OverlappedCall&) = delete;

  bool Valid() const { return m_event != nullptr; }
  // A fresh OVERLAPPED for the next call.
  OVERLAPPED* Begin() {
    m_overlapped = OVERLAPPED{};
    m_overlapped.hEvent = m_event;
    ResetEvent(m_event);
    return &m_overlapped;
  }
  HANDLE Event() const { return m_event; }

 private:
  HANDLE m_event;
  OVERLAPPED m_overlapped{};
};

// How a started overlapped call ended.
struct CallOutcome {
  WaitResult wait = WaitResult::kReady;  // kReady: completed (see ok); kWoken, kTimeout
  bool ok = false;                       // completed successfully
  DWORD bytes = 0;
  DWORD error = 0;  // the system's error when it failed
};

// Finishes a call that `started` (the result of ReadFile/WriteFile/WaitCommEvent): waits for it
// together with `wake` up to timeoutMs (negative: no limit), cancels it on a wake-up or the time
// limit and collects what it did meanwhile.
CallOutcome Finish(HANDLE port, OVERLAPPED* overlapped, BOOL started, int timeoutMs,
                   const WakeEvent* wake) {
  CallOutcome outcome;
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    outcome.error = GetLastError();
    return outcome;
  }
  if (!started) {
    HANDLE handles[2] = {overlapped->hEvent, wake != nullptr ? wake->Native() : nullptr};
    const DWORD count = wake != nullptr ? 2 : 1;
    const DWORD rc = WaitForMultipleObjects(
        count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (rc != WAIT_OBJECT_0) {
      outcome.wait = rc == WAIT_OBJECT_0 + 1 ? WaitResult::kWoken : WaitResult::kTimeout;
      CancelIoEx(port, overlapped);
    }
  }
  outcome.ok = GetOverlappedResult(port, overlapped, &outcome.bytes, TRUE) != FALSE;
  if (!outcome.ok) {
    outcome.error = GetLastError();
    // Cancelled by us: not a failure of the line.
    if (outcome.error == ERROR_OPERATION_ABORTED && outcome.wait != WaitResult::kReady) {
      outcome.ok = true;
    }
  }
  return outcome;
}

class Win32Line final : public SerialLine {
 public:
  Win32Line(HANDLE port, std::string path) : m_port(port), m_path(std::move(path)) {
    DWORD bits = 0;
    m_hasModemLines = GetCommModemStatus(m_port, &bits) != FALSE;
  }
  ~Win32Line() override { CloseHandle(m_port); }

  bool Ready() const { return m_read.Valid() && m_write.Valid() && m_event.Valid(); }

  const std::string& DevicePath() const override { return m_path; }

  bool SetQueueSizes(uint32_t inQueue, uint32_t outQueue) override {
    return SetupComm(m_port, inQueue, outQueue) != FALSE;
  }

  bool GetState(DeviceControlBlock* dcb) override {
    DCB native{};
    native.DCBlength = sizeof native;
    if (dcb == nullptr || !GetCommState(m_port, &native)) return false;
    dcb->BaudRate = native.BaudRate;
    dcb->ByteSize = native.ByteSize;
    dcb->Parity = native.Parity;
    dcb->StopBits = native.StopBits;
    dcb->fBinary = native.fBinary;
    dcb->fParity = native.fParity;
    dcb->fOutxCtsFlow = native.fOutxCtsFlow;
    dcb->fOutxDsrFlow = native.fOutxDsrFlow;
    dcb->fDtrControl = static_cast<uint8_t>(native.fDtrControl);
    dcb->fRtsControl = static_cast<uint8_t>(native.fRtsControl);
    dcb->fDsrSensitivity = native.fDsrSensitivity;
    dcb->fTXContinueOnXoff = native.fTXContinueOnXoff;
    dcb->fOutX = native.fOutX;
    dcb->fInX = native.fInX;
    dcb->fErrorChar = native.fErrorChar;
    dcb->fNull = native.fNull;
    dcb->fAbortOnError = native.fAbortOnError;
    dcb->XonLim = native.XonLim;
    dcb->XoffLim = native.XoffLim;
    dcb->XonChar = native.XonChar;
    dcb->XoffChar = native.XoffChar;
    dcb->ErrorChar = native.ErrorChar;
    dcb->EofChar = native.EofChar;
    dcb->EvtChar = native.EvtChar;
    return true;
  }

  bool SetState(const DeviceControlBlock& dcb) override {
    if (!IsValidDeviceControlBlock(dcb)) return false;
    DCB native{};
    native.DCBlength = sizeof native;
    if (!GetCommState(m_port, &native)) return false;
    native.BaudRate = dcb.BaudRate;
    native.ByteSize = dcb.ByteSize;
    native.Parity = dcb.Parity;
    native.StopBits = dcb.StopBits;
    native.fBinary = dcb.fBinary;
    native.fParity = dcb.fParity;
    native.fOutxCtsFlow = dcb.fOutxCtsFlow;
    native.fOutxDsrFlow = dcb.fOutxDsrFlow;
    native.fDtrControl = dcb.fDtrControl;
    native.fRtsControl = dcb.fRtsControl;
    native.fDsrSensitivity = dcb.fDsrSensitivity;
    native.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    native.fOutX = dcb.fOutX;
    native.fInX = dcb.fInX;
    native.fErrorChar = dcb.fErrorChar;
    native.fNull = dcb.fNull;
    native.fAbortOnError = dcb.fAbortOnError;
    native.XonLim = dcb.XonLim;
    native.XoffLim = dcb.XoffLim;
    native.XonChar = dcb.XonChar;
    native.XoffChar = dcb.XoffChar;
    native.ErrorChar = dcb.ErrorChar;
    native.EofChar = dcb.EofChar;
    native.EvtChar = dcb.EvtChar;
    return SetCommState(m_port, &native) != FALSE;
  }

  bool GetTimeouts(CommTimeouts* timeouts) override {
    if (timeouts == nullptr) return false;
    std::lock_guard lock(m_state);
    *timeouts = m_timeouts;
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard lock(m_state);
    if (!Apply(timeouts)) return false;
    m_timeouts = timeouts;
    return true;
  }

  IoResult Read(uint8_t* buffer, std::size_t size) override {
    std::lock_guard reader(m_reader);
    std::size_t got = TakeLookahead(buffer, size);
    if (got == size) return {IoStatus::kOk, got};
    CommTimeouts timeouts;
    {
      std::lock_guard lock(m_state);
      timeouts = m_timeouts;
    }
    // Bytes already delivered count against the read's own time-outs only when nothing else
    // arrives: an interval time-out with a byte in hand returns what there is.
    if (got > 0 && timeouts.ReadIntervalTimeout != 0) {
      const IoResult more = ReadAvailableLocked(buffer + got, size - got);
      return {more.status, got + more.bytes, more.error};
    }
    const IoResult rest = ReadNow(buffer + got, size - got, -1, nullptr);
    return {rest.status, got + rest.bytes, rest.error};
  }

  IoResult ReadAvailable(uint8_t* buffer, std::size_t size) override {
    std::lock_guard reader(m_reader);
    return ReadAvailableLocked(buffer, size);
  }

  WaitOutcome WaitReadable(int timeoutMs, const WakeEvent* wake) override {
    std::lock_guard reader(m_reader);
    {
      std::lock_guard lock(m_state);
      if (m_lookahead) return WaitResult::kReady;
    }
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommErrorKeeping(&errors, &stat)) return Failure(GetLastError());
    if (stat.cbInQue > 0) return WaitResult::kReady;
    if (timeoutMs == 0) return WaitResult::kTimeout;
    // One byte, waiting for it up to the time limit (MAXDWORD/MAXDWORD/constant), or without
    // limit (all zero: until the one byte is there).
    CommTimeouts wait;
    if (timeoutMs > 0) {
      wait.ReadIntervalTimeout = MAXDWORD;
      wait.ReadTotalTimeoutMultiplier = MAXDWORD;
      wait.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeoutMs);
    }
    uint8_t byte = 0;
    IoResult r;
    {
      std::lock_guard lock(m_state);
      wait.WriteTotalTimeoutMultiplier = m_timeouts.WriteTotalTimeoutMultiplier;
      wait.WriteTotalTimeoutConstant = m_timeouts.WriteTotalTimeoutConstant;
      if (!Apply(wait)) return Failure(GetLastError());
    }
    WaitResult outcome = WaitResult::kTimeout;
    r = ReadNow(&byte, 1, timeoutMs < 0 ? -1 : timeoutMs + kDriverGraceMs, wake, &outcome);
    std::lock_guard lock(m_state);
    Apply(m_timeouts);
    if (r.status != IoStatus::kOk) return Failure(static_cast<DWORD>(r.error));
    if (r.bytes == 1) {
      m_lookahead = byte;
      return WaitResult::kReady;
    }
    return outcome;
  }

  IoResult Write(const uint8_t* data, std::size_t size) override {
    std::lock_guard writer(m_writer);
    std::size_t done = 0;
    while (done < size) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
      OVERLAPPED* overlapped = m_write.Begin();
      const BOOL started = WriteFile(m_port, data + done, chunk, nullptr, overlapped);
      const CallOutcome out = Finish(m_port, overlapped, started, -1, nullptr);
      done += out.bytes;
      if (!out.ok) {
        // The write time-out passing is a short write, not a failure.
        if (out.error == ERROR_SEM_TIMEOUT || out.error == WAIT_TIMEOUT) break;
        return {started || GetLastError() == ERROR_IO_PENDING ? IoStatus::kWaitFailed
                                                              : IoStatus::kFailedAtOnce,
                done, static_cast<int>(out.error)};
      }
      if (out.bytes < chunk) break;  // the time-out passed
    }
    return {IoStatus::kOk, done};
  }

  LineResult GetModemStatus(uint32_t* status) override {
    if (status == nullptr) return {false};
    if (!m_hasModemLines) {
      // A port whose driver reports no modem lines (the emulator's ports on pseudo-terminals):
      // wired as a line whose far end is always there and ready, as on POSIX.
      *status = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
      return {};
    }
    DWORD bits = 0;
    if (!GetCommModemStatus(m_port, &bits)) return {false, static_cast<int>(GetLastError())};
    *status = bits;
    return {};
  }

  bool EscapeFunction(uint32_t function) override {
    return EscapeCommFunction(m_port, function) != FALSE;
  }

  bool Purge(uint32_t flags) override {
    std::lock_guard lock(m_state);
    if ((flags & kPurgeRxClear) != 0) {
      COMSTAT stat{};
      DWORD errors = 0;
      if (ClearCommErrorKeeping(&errors, &stat)) m_purged += stat.cbInQue;
      if (m_lookahead) ++m_purged;
      m_lookahead.reset();
    }
    return PurgeComm(m_port, flags) != FALSE;
  }

  bool ClearError(uint32_t* errors, CommStatus* status) override {
    DWORD bits = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_port, &bits, &stat)) return false;
    std::lock_guard lock(m_state);
    const uint32_t held = m_lookahead ? 1 : 0;
    if (errors != nullptr) *errors = bits | m_keptErrors;
    m_keptErrors = 0;
    if (status != nullptr) {
      status->cbInQue = stat.cbInQue + held;
      status->cbOutQue = stat.cbOutQue;
      status->received = m_delivered + m_purged + stat.cbInQue + held;
    }
    return true;
  }

  bool SetEventMask(uint32_t mask) override { return SetCommMask(m_port, mask) != FALSE; }

  bool GetEventMask(uint32_t* mask) override {
    DWORD bits = 0;
    if (mask == nullptr || !GetCommMask(m_port, &bits)) return false;
    *mask = bits;
    return true;
  }

  WaitOutcome WaitEvent(uint32_t* events, int timeoutMs, const WakeEvent* wake) override {
    std::lock_guard waiter(m_waiter);
    *events = 0;
    DWORD mask = 0;
    if (!GetCommMask(m_port, &mask)) return Failure(GetLastError());
    if (mask == 0) return WaitResult::kFailed;  // nothing could ever end the wait
    DWORD happened = 0;
    OVERLAPPED* overlapped = m_event.Begin();
    const BOOL started = WaitCommEvent(m_port, &happened, overlapped);
    const CallOutcome out = Finish(m_port, overlapped, started, timeoutMs, wake);
    if (!out.ok) return Failure(out.error);
    if (out.wait != WaitResult::kReady) return out.wait;
    *events = happened & mask;
    return WaitResult::kReady;
  }

 private:
  // Slack beyond the driver's own read time-out before the wait gives up on it.
  static constexpr int kDriverGraceMs = 50;

  static WaitOutcome Failure(DWORD error) { return {WaitResult::kFailed, static_cast<int>(error)}; }

  bool Apply(const CommTimeouts& t) {
    COMMTIMEOUTS native{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                        t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                        t.WriteTotalTimeoutConstant};
    return SetCommTimeouts(m_port, &native) != FALSE;
  }

  // ClearCommError that keeps the error bits for the next ClearError.
  bool ClearCommErrorKeeping(DWORD* errors, COMSTAT* stat) {
    if (!ClearCommError(m_port, errors, stat)) return false;
    m_keptErrors |= *errors;
    return true;
  }

  std::size_t TakeLookahead(uint8_t* buffer, std::size_t size) {
    std::lock_guard lock(m_state);
    if (size == 0 || !m_lookahead) return 0;
    buffer[0] = *m_lookahead;
    m_lookahead.reset();
    return 1;
  }

  IoResult ReadAvailableLocked(uint8_t* buffer, std::size_t size) {
    std::size_t got = TakeLookahead(buffer, size);
    COMSTAT stat{};
    DWORD errors = 0;
    {
      std::lock_guard lock(m_state);
      if (!ClearCommErrorKeeping(&errors, &stat)) {
        return {IoStatus::kFailedAtOnce, got, static_cast<int>(GetLastError())};
      }
    }
    const std::size_t want = std::min<std::size_t>(size - got, stat.cbInQue);
    if (want == 0) return {IoStatus::kOk, got};
    // The bytes are queued, so the read completes at once whatever the time-outs say.
    const IoResult r = ReadNow(buffer + got, want, -1, nullptr);
    return {r.status, got + r.bytes, r.error};
  }

  // One overlapped ReadFile under the time-outs in force.
  IoResult ReadNow(uint8_t* buffer, std::size_t size, int timeoutMs, const WakeEvent* wake,
                   WaitResult* waited = nullptr) {
    OVERLAPPED* overlapped = m_read.Begin();
    const BOOL started = ReadFile(m_port, buffer, static_cast<DWORD>(size), nullptr, overlapped);
    const bool pending = started || GetLastError() == ERROR_IO_PENDING;
    const CallOutcome out = Finish(m_port, overlapped, started, timeoutMs, wake);
    if (waited != nullptr)
      *waited = out.wait == WaitResult::kReady ? WaitResult::kTimeout : out.wait;
    {
      std::lock_guard lock(m_state);
      m_delivered += out.bytes;
    }
    if (!out.ok && out.error != ERROR_SEM_TIMEOUT) {
      return {pending ? IoStatus::kWaitFailed : IoStatus::kFailedAtOnce, out.bytes,
              static_cast<int>(out.error)};
    }
    return {IoStatus::kOk, out.bytes};
  }

  HANDLE m_port;
  std::string m_path;
  bool m_hasModemLines = true;  // false when the driver cannot report them
  OverlappedCall m_read, m_write, m_event;
  std::mutex m_reader, m_writer, m_waiter;  // one caller of each role at a time
  std::mutex m_state;                       // what follows
  CommTimeouts m_timeouts;
  std::optional<uint8_t> m_lookahead;
  DWORD m_keptErrors = 0;
  uint64_t m_delivered = 0;  // bytes taken from the driver (the lookahead included)
  uint64_t m_purged = 0;
};

// Opens the device ("\\.\COM6") for overlapped I/O.
OpenResult OpenComPort(const std::string& device) {
  // No sharing: a second open, in this process or another, fails (ERROR_ACCESS_DENIED).
  HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return OpenResult{nullptr,
                      SerialError{static_cast<int>(code), Win32ErrorText(code) + ": " + device}};
  }
  auto line = std::make_unique<Win32Line>(port, device);
  if (!line->Ready()) {
    const DWORD code = GetLastError();
    return OpenResult{nullptr,
                      SerialError{static_cast<int>(code), Win32ErrorText(code) + ": " + device}};
  }
  return OpenResult{std::move(line), {}};
}

}  // namespace

const int kNotAPortNameError = ERROR_INVALID_NAME;

std::string DefaultDevicePath(const std::string& comName) { return "\\\\.\\" + comName; }

// A [Ports] entry names a device as Windows does: a port name ("COM3", "\\.\COM12") or another
// device path. The low-latency request is the USB drivers' business on this system.
OpenResult OpenDeviceLine(const std::string& device, const DeviceOptions&) {
  const std::string comName = NormalisePortName(device);
  return OpenComPort(comName.empty() ? device : "\\\\.\\" + comName);
}

OpenResult OpenSerialDevice(const std::string& device) {
  const std::string comName = NormalisePortName(device);
  if (comName.empty()) {
    return OpenResult{nullptr, SerialError{ERROR_INVALID_NAME, "Not a port name: " + device}};
  }
  return OpenComPort("\\\\.\\" + comName);
}

}  // namespace linvo::platform
