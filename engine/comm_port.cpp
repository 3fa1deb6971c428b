#include "engine/comm_port.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "engine/operation_bracket.h"
#include "engine/settings.h"

namespace linvo::engine {
namespace {

// Fixed 20-character tags of the registered message name and of the hidden window's name.
constexpr const char* kEventMessageName = "Orvane32.DLL:EVENT:K7Q2M9X4T1B8V6N3R5W0";
constexpr const char* kWindowName = "Orvane32.DLL:MESSAGE:H3J8P1L6Z9C4F7D2G5S0";

// The open sets these events for the comm-event watcher: kEvRxChar, kEvTxEmpty, kEvCts, kEvDsr,
// kEvRlsd, kEvBreak, kEvErr and kEvRing.
constexpr uint32_t kOpenEventMask = 0x1FD;

// Registered when the library is loaded.
const uint32_t g_portEventMessage = PortEventMessage();

// The decimal value of the leading digits of a text, as atoi reads it, saturated.
long LeadingNumber(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  return value;
}

}  // namespace

uint32_t PortEventMessage() {
  static const uint32_t message = platform::RegisterNamedMessage(kEventMessageName);
  return message;
}

CCommPort::CCommPort(int16_t portNo) : m_nPortNo(portNo) {
  LoadSettings();
  // The window belongs to the constructing thread: port events are handled there when that
  // thread pumps its messages.
  m_hWnd = platform::CreateMessageWindow(
      kWindowName,
      [this](uint32_t msg, platform::WParam w, platform::LParam l) -> std::intptr_t {
        return msg == g_portEventMessage ? OnPortEvent(w, l) : 0;
      },
      // Reports that will never be handled (window destroyed, thread ended) are freed here.
      [](uint32_t msg, platform::WParam w, platform::LParam) {
        if (msg == g_portEventMessage) NotifyRecordPtr dropped(reinterpret_cast<NotifyRecord*>(w));
      });
}

CCommPort::~CCommPort() {
  // Threads still running on this object are stopped and joined first: nothing may outlive the
  // object it works on.
  StopThreads();
  {
    std::lock_guard<std::mutex> hold(m_logLock);
    m_logOn.store(false);
    m_pLog.reset();
  }
  platform::DestroyMessageWindow(m_hWnd);
}

std::shared_ptr<CTraceLog> CCommPort::Log() const {
  std::lock_guard<std::mutex> hold(m_logLock);
  return m_pLog;
}

void CCommPort::Trace(int level, std::string_view label, std::string_view text) const {
  if (!LogOn()) return;
  if (auto log = Log()) log->WriteTrace(level, text, label, 0);
}

void CCommPort::TraceAbort(std::string_view reason) const noexcept {
  try {
    Trace(kLevelError, kErrInfo, std::string("Operation failed: ") + std::string(reason));
  } catch (...) {
    // Out of memory even for the trace line: the result code alone tells.
  }
}

void CCommPort::TraceMessage(Message message, int extra) const {
  if (LogOn()) Trace(kLevelError, kErrInfo, FormatResultMessage(message, extra));
}

void CCommPort::LoadSettings() {
  EngineSettings s = LoadEngineSettings(m_nPortNo);
  m_nDelay.store(s.delay);
  m_nWriteFileTimeOut.store(s.writeFileTimeOut);
  auto log = std::make_shared<CTraceLog>(s.logPath, s.logMode, m_nPortNo);
  log->WriteTrace(kLevelInfo, std::string("OCX Version = ") + LibraryVersion(), kInfo, 0);
  if (!s.unused.empty()) log->WriteTrace(kLevelError, s.unused, kErrInfo, 0);
  // The previous log stays alive for as long as an operation on another thread still holds it,
  // and is destroyed by the last holder: nothing is used after it is freed, nothing accumulates.
  std::shared_ptr<CTraceLog> previous;
  {
    std::lock_guard<std::mutex> hold(m_logLock);
    previous = std::move(m_pLog);
    m_pLog = std::move(log);
    m_logOn.store(m_pLog->Writes(kLevelInfo) || m_pLog->Writes(kLevelError));
  }
}

Result CCommPort::OpenPort(Caller caller, int32_t baudRate, const char* dataBits,
                           const char* parity, int32_t transmitBufferSize,
                           int32_t receiveBufferSize, int32_t autoHandshake) {
  OperationBracket bracket(*this, caller);
  if (m_nState.load() == kStateOpen) return bracket.Fail(Message::kAlreadyOpened);
  if (dataBits == nullptr || parity == nullptr) return bracket.Fail(Message::kParameterError);

  char deviceName[32];
  if (m_nPortNo <= 9) {
    std::snprintf(deviceName, sizeof deviceName, "COM%d", m_nPortNo);
  } else {
    std::snprintf(deviceName, sizeof deviceName, "\\\\.\\COM%d", m_nPortNo);
  }
  platform::OpenResult opened = platform::OpenSerialLine(deviceName, EngineSettingsFile());
  SetLastErrorText(opened.error.message);
  if (!opened) {
    // The system's reason, at the error level so that an errors-only trace keeps it too.
    Trace(kLevelError, kErrInfo, FormatSystemError(opened.error.code, opened.error.message));
    return bracket.Fail(Message::kCannotBeOpened);
  }
  m_hComm = std::move(opened.line);
  m_eventHold = EventHold::kNone;  // a new line holds nothing
  bracket.Info(std::string("PortName is ") + deviceName);
  const platform::LowLatencyOutcome lowLatency = m_hComm->LowLatency();
  if (lowLatency.state == platform::LowLatencyState::kUnavailable) {
    bracket.Info("Low latency mode is not available: " + lowLatency.detail);
  }

  auto reject = [&] {
    TraceLineNotes();
    m_hComm.reset();
    return bracket.Fail(Message::kParameterError);
  };
  if (!m_hComm->SetQueueSizes(static_cast<uint32_t>(receiveBufferSize),
                              static_cast<uint32_t>(transmitBufferSize))) {
    return reject();
  }
  platform::DeviceControlBlock dcb;
  if (!m_hComm->GetState(&dcb)) return reject();
  char parityLetter = parity[0];
  if (baudRate <= 0 || (dataBits[0] != '7' && dataBits[0] != '8') ||
      std::string_view("NnEeOo").find(parityLetter) == std::string_view::npos ||
      parityLetter == '\0') {
    return reject();
  }
  long byteSize = LeadingNumber(dataBits);
  dcb.BaudRate = static_cast<uint32_t>(baudRate);
  // Only 7 and 8 pass the SetState check below; larger values such as "78" are refused there
  // rather than wrapped into a byte.
  dcb.ByteSize = byteSize > 0 && byteSize < 256 ? static_cast<uint8_t>(byteSize) : 0;
  dcb.Parity = (parityLetter == 'N' || parityLetter == 'n')   ? platform::kNoParity
               : (parityLetter == 'E' || parityLetter == 'e') ? platform::kEvenParity
                                                              : platform::kOddParity;
  dcb.fBinary = true;
  dcb.fOutxCtsFlow = true;
  dcb.fOutxDsrFlow = true;
  dcb.fOutX = false;
  dcb.fInX = false;
  dcb.fNull = false;
  dcb.fAbortOnError = false;
  dcb.fDtrControl =
      autoHandshake == 1 ? platform::kDtrControlHandshake : platform::kDtrControlEnable;
  dcb.fRtsControl =
      autoHandshake == 1 ? platform::kRtsControlHandshake : platform::kRtsControlEnable;
  if (!m_hComm->SetState(dcb)) return reject();

  platform::CommTimeouts timeouts;
  if (!m_hComm->GetTimeouts(&timeouts)) return reject();
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = static_cast<uint32_t>(m_nWriteFileTimeOut.load());
  if (!m_hComm->SetTimeouts(timeouts)) return reject();

  TraceLineNotes();
  // The event mask is set before the watcher starts waiting on it.
  (void)m_hComm->SetEventMask(kOpenEventMask);
  StartWatcher();
  m_pfnCommCallback = nullptr;
  UpdateEventHold();
  m_nState.store(kStateOpen);
  return bracket.Succeed(kSuccess);
}

std::string CCommPort::LastErrorText() const {
  std::lock_guard<std::mutex> hold(m_lastErrorLock);
  return m_sLastError;
}

void CCommPort::SetLastErrorText(std::string text) {
  std::lock_guard<std::mutex> hold(m_lastErrorLock);
  m_sLastError = std::move(text);
}

Result CCommPort::ClosePort(Caller caller) {
  OperationBracket bracket(*this, caller);
  if (m_nState.load() == kStateClosed || !m_hComm) return bracket.Fail(Message::kAlreadyClosed);
  // The worker (silently, except a response poll, which reports its cancel) and the watcher end
  // before the line is closed.
  StopThreads();
  m_hComm.reset();
  m_nState.store(kStateClosed);
  return bracket.Succeed(kSuccess);
}

Result CCommPort::ReloadSettings(Caller /*caller*/) {
  std::lock_guard<std::recursive_mutex> hold(m_csPort);
  LoadSettings();
  UpdateEventHold();
  return kSuccess;
}

}  // namespace linvo::engine
