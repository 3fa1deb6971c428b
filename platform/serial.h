// Serial lines: the stand-in for the Windows communications functions, and the seam between the
// engine and each system's serial backend.
//
// A SerialLine is one open port. It is opened exclusively by its Windows name ("COM3",
// "\\.\COM12") through OpenSerialLine, which resolves the name the same way on every system
// (serial_open.cpp):
//   1. a virtual null-modem line registered under that name in this process;
//   2. the [Ports] section of the settings file (COM3=/dev/ttyUSB0; a network serial server:
//      COM9=rfc2217://host:port, COM10=socket://host:port, see net/net_url.h);
//   3. the system's own device for the number (/dev/ttyS<n-1>, \\.\COMn).
// Each system's backend opens the device (serial_backend.h): posix/ (termios: UARTs, USB
// adapters, pseudo-terminals) and win/ (the Win32 communications functions). The virtual line
// (serial_virtual.cpp) and the network line (net/serial_net.cpp) are the same everywhere.
//
// Every member is safe to call from several threads at once (one reader, one writer and one
// event waiter may run together, as on Windows with overlapped I/O).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wake_event.h"

namespace linvo::platform {

// Parity values of the device control block.
enum : uint8_t {
  kNoParity = 0,
  kOddParity = 1,
  kEvenParity = 2,
  kMarkParity = 3,
  kSpaceParity = 4
};
// Stop bits of the device control block.
enum : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };
// DTR and RTS control modes.
enum : uint8_t { kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2 };
enum : uint8_t {
  kRtsControlDisable = 0,
  kRtsControlEnable = 1,
  kRtsControlHandshake = 2,
  kRtsControlToggle = 3
};

// Modem status bits (GetModemStatus).
enum : uint32_t { kMsCtsOn = 0x10, kMsDsrOn = 0x20, kMsRingOn = 0x40, kMsRlsdOn = 0x80 };
// Escape functions.
enum : uint32_t {
  kSetRts = 3,
  kClrRts = 4,
  kSetDtr = 5,
  kClrDtr = 6,
  kSetBreak = 8,
  kClrBreak = 9
};
// Purge flags.
enum : uint32_t { kPurgeTxAbort = 1, kPurgeRxAbort = 2, kPurgeTxClear = 4, kPurgeRxClear = 8 };
// Line events (event mask and event word).
enum : uint32_t {
  kEvRxChar = 0x0001,
  kEvRxFlag = 0x0002,
  kEvTxEmpty = 0x0004,
  kEvCts = 0x0008,
  kEvDsr = 0x0010,
  kEvRlsd = 0x0020,
  kEvBreak = 0x0040,
  kEvErr = 0x0080,
  kEvRing = 0x0100
};
// Line error bits (ClearError).
enum : uint32_t {
  kCeRxOver = 0x0001,
  kCeOverrun = 0x0002,
  kCeRxParity = 0x0004,
  kCeFrame = 0x0008,
  kCeBreak = 0x0010
};

// The members of the Windows device control block that this system reads or sets. Values that
// termios cannot express (DSR output flow, DTR handshake) are kept and reported back by
// GetState; the engine honours them in its own waits.
struct DeviceControlBlock {
  uint32_t BaudRate = 9600;
  uint8_t ByteSize = 8;
  uint8_t Parity = kNoParity;
  uint8_t StopBits = kOneStopBit;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = kDtrControlEnable;
  uint8_t fRtsControl = kRtsControlEnable;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  bool fAbortOnError = false;
  uint16_t XonLim = 2048;
  uint16_t XoffLim = 512;
  char XonChar = 0x11;
  char XoffChar = 0x13;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

// Windows COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct CommStatus {
  uint32_t cbInQue = 0;   // bytes received and not yet read
  uint32_t cbOutQue = 0;  // bytes written and not yet sent
  uint64_t received = 0;  // running total of bytes received (read, queued or purged)
};

// A failed line call carries the system's error with its result (errno on POSIX, GetLastError
// on Windows; SystemErrorText in platform/error_text.h gives its text), so that the engine can
// say why. 0 when the failure has none to give (a virtual line whose far end went away).

enum class IoStatus {
  kOk,            // the call completed; see the byte count
  kFailedAtOnce,  // the call itself failed (WriteFile/ReadFile returning an error other than
                  // pending)
  kWaitFailed,  // the pending operation failed (GetOverlappedResult failing): line gone, I/O error
};

struct IoResult {
  IoStatus status = IoStatus::kOk;
  std::size_t bytes = 0;
  int error = 0;  // the system's error when status is not kOk
};

enum class WaitResult {
  kReady,    // the awaited condition holds
  kWoken,    // the wake-up event was signalled
  kTimeout,  // the time limit passed
  kFailed,   // the line failed (disconnected, I/O error)
};

// What a wait of the line returns: how it ended and, when it failed, the system's error. It
// converts to and from WaitResult, so that a caller that needs no reason compares and switches
// on it as on the enumeration.
struct WaitOutcome {
  WaitResult result = WaitResult::kTimeout;
  int error = 0;  // the system's error when result is kFailed

  constexpr WaitOutcome(WaitResult r, int e = 0)  // NOLINT(google-explicit-constructor)
      : result(r), error(e) {}
  constexpr operator WaitResult() const { return result; }  // NOLINT(google-explicit-constructor)
  friend constexpr bool operator==(const WaitOutcome& a, WaitResult b) { return a.result == b; }
};

// What a line call that moves no bytes returns: whether it succeeded and, when not, the
// system's error.
struct LineResult {
  bool ok = true;
  int error = 0;

  explicit constexpr operator bool() const { return ok; }
};

// USB adapters hold received bytes back for a latency timer (16 ms on many) unless the driver is
// asked for low latency; every turnaround of a request/reply protocol pays it. The open asks
// (ASYNC_LOW_LATENCY) and the close restores what the driver had.
enum class LowLatencyState {
  kNotApplicable,  // the line has no such driver mode (virtual line)
  kSwitchedOff,    // the settings turned the request off
  kOn,             // the driver runs in low-latency mode
  kUnavailable,    // the driver has no such mode or refused it (pseudo-terminals, some drivers)
};
struct LowLatencyOutcome {
  LowLatencyState state = LowLatencyState::kNotApplicable;
  std::string detail;  // kUnavailable: the system's reason ("Inappropriate ioctl for device")
};

class SerialLine {
 public:
  virtual ~SerialLine() = default;

  // What the name resolved to ("/dev/pts/3", "virtual:COM3").
  virtual const std::string& DevicePath() const = 0;

  // SetupComm: sizes of the input and output queues (advisory on a tty).
  virtual bool SetQueueSizes(uint32_t inQueue, uint32_t outQueue) = 0;
  virtual bool GetState(DeviceControlBlock* dcb) = 0;
  // Applies the block: baud rate (also non-standard rates), byte size 5..8, parity, stop bits,
  // CTS output flow, DTR/RTS modes (ENABLE raises the line, DISABLE drops it, HANDSHAKE raises
  // it and leaves it to the hardware where the driver can). Rejects values the line cannot take
  // (byte size outside 5..8, baud rate 0, unknown parity).
  virtual bool SetState(const DeviceControlBlock& dcb) = 0;
  virtual bool GetTimeouts(CommTimeouts* timeouts) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;

  // ReadFile with the COMMTIMEOUTS semantics of SetTimeouts (interval and total time-outs; all
  // zero blocks until `size` bytes arrived; ReadIntervalTimeout = MAXDWORD with zero totals
  // returns at once with what is there).
  virtual IoResult Read(uint8_t* buffer, std::size_t size) = 0;
  // Takes what has been received, at most `size` bytes, without waiting.
  virtual IoResult ReadAvailable(uint8_t* buffer, std::size_t size) = 0;
  // ReadAvailable for a caller that goes on to WaitReadable whenever it gets fewer bytes than it
  // asked for: a line that hung up may read as empty here, and that wait reports it (kFailed).
  virtual IoResult ReadQueued(uint8_t* buffer, std::size_t size) {
    return ReadAvailable(buffer, size);
  }
  // Blocks in the kernel until received bytes are waiting, `wake` (may be null) is signalled,
  // or timeoutMs passes (negative: no limit).
  virtual WaitOutcome WaitReadable(int timeoutMs, const WakeEvent* wake) = 0;
  // WaitReadable for the quiet gap that ends a receive once bytes came: it should not run over,
  // so a backend may time it more exactly (the tty backend waits without timer slack, and counts
  // the gap from a moment by which every byte read so far had arrived).
  virtual WaitOutcome WaitQuietGap(int timeoutMs) { return WaitReadable(timeoutMs, nullptr); }

  // WriteFile: writes the bytes, waiting at most the write total time-out of SetTimeouts
  // (multiplier * size + constant; both zero: no limit). Returns the bytes written, which may be
  // fewer than asked (0 included) when the time-out passes, for example while output flow
  // control or a stalled line holds the transmitter.
  virtual IoResult Write(const uint8_t* data, std::size_t size) = 0;

  virtual LineResult GetModemStatus(uint32_t* status) = 0;  // MS_* bits
  // Blocks until every MS_* bit of `bits` is on, `wake` (may be null) is signalled, or timeoutMs
  // passes (negative: no limit). The default re-reads the status every few milliseconds while
  // it waits on `wake`; a backend that learns of line changes overrides it.
  virtual WaitOutcome WaitModemLines(uint32_t bits, int timeoutMs, const WakeEvent* wake);
  virtual bool EscapeFunction(uint32_t function) = 0;  // kSetDtr, kClrDtr, kSetRts, ...
  virtual bool Purge(uint32_t flags) = 0;              // PURGE_* flags
  // ClearCommError: returns the CE_* errors seen since the last call (and clears them) and the
  // queue counts. Either pointer may be null.
  virtual bool ClearError(uint32_t* errors, CommStatus* status) = 0;

  // EV_* bits. A WaitEvent pending in another thread ends with kReady and no events, as with
  // SetCommMask.
  virtual bool SetEventMask(uint32_t mask) = 0;
  virtual bool GetEventMask(uint32_t* mask) = 0;
  // WaitCommEvent: blocks until an event of the mask has happened since the previous call (or
  // since SetEventMask), `wake` (may be null) is signalled, or timeoutMs passes (negative: no
  // limit). On kReady *events holds the events that happened (masked); otherwise 0. An empty
  // mask fails at once (kFailed). The tty backend does not report kEvRxFlag (it would have to
  // read the bytes to see the event character); the virtual line does.
  virtual WaitOutcome WaitEvent(uint32_t* events, int timeoutMs, const WakeEvent* wake) = 0;

  // Holds the events of `mask` (kEvRxChar, kEvTxEmpty) from now until ReleaseEvents: such an
  // event that happens meanwhile belongs to the hold, whenever a waiter gets to look at it. With
  // `report`, WaitEventHeld returns it among the events and names it in *held; without, it is
  // dropped: it ends no wait, and a waiter is not even woken for it. One hold at a time. A line
  // without holds keeps these as they are (the defaults).
  virtual void HoldEvents(uint32_t /*mask*/, bool /*report*/) {}
  virtual void ReleaseEvents() {}
  // WaitEvent that also tells which of the events happened only while held (*held, a part of
  // *events; may be null).
  virtual WaitOutcome WaitEventHeld(uint32_t* events, uint32_t* held, int timeoutMs,
                                    const WakeEvent* wake) {
    if (held != nullptr) *held = 0;
    return WaitEvent(events, timeoutMs, wake);
  }

  // What became of the open's low-latency request (see OpenSerialLine).
  virtual LowLatencyOutcome LowLatency() const { return {}; }

  // Notes on the line that its user should see once, taken by this call: a network line tells
  // here of requests its server leaves unanswered ("... does not answer SET-CONTROL (DTR); the
  // line no longer waits for such answers"). The engine traces them after the calls that may
  // cause them (open, settings, line control, purge).
  virtual std::vector<std::string> TakeNotes() { return {}; }
};

// Why an open failed, as the system tells it: its error number (errno on POSIX) and a text that
// names the device ("Permission denied: /dev/ttyUSB0").
struct SerialError {
  int code = 0;
  std::string message;
};

// The line, or why there is none.
struct OpenResult {
  std::unique_ptr<SerialLine> line;
  SerialError error;  // set when line is null

  explicit operator bool() const { return line != nullptr; }
};

// Opens the port by its Windows name ("COM1" .. "COM9", "\\.\COM10" ..., case-insensitive).
// settingsFile is the INI file whose [Ports] section maps names to devices (may be empty) and
// whose "[Ports] LowLatency=0" turns the low-latency request off. On failure the result says
// why: a name that is no port name (EINVAL), a device that is missing (ENOENT) or not ours to
// open (EACCES), one that another descriptor or process holds (EBUSY), one that is no serial
// device (ENOTTY), and so on.
OpenResult OpenSerialLine(const std::string& windowsName, const std::string& settingsFile);

// Opens a line by the system's own name for its device: a path on POSIX ("/dev/ttyUSB0"), a port
// name on Windows ("COM6", "\\.\COM12"). For programs that serve a line themselves (the device
// simulator); no settings file is read and no virtual line is looked up.
OpenResult OpenSerialDevice(const std::string& device);

// The device path a name resolves to, without opening it ("virtual:COM3" for a virtual line).
std::optional<std::string> ResolvePortName(const std::string& windowsName,
                                           const std::string& settingsFile);

// Bits of VirtualPeer::HostLines.
enum : uint32_t { kHostDtr = 1, kHostRts = 2, kHostBreak = 4 };

// The far (device) end of a virtual null-modem line. Thread-safe. The host end is the
// SerialLine that OpenSerialLine returns for the registered name.
class VirtualPeer {
 public:
  virtual ~VirtualPeer() = default;

  // Bytes to the host (they become readable at the host end at once).
  virtual void Write(const uint8_t* data, std::size_t size) = 0;
  void Write(std::string_view bytes) {
    Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  void Write(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }

  // Bytes the host wrote, at most `size`, without waiting.
  virtual std::size_t Read(uint8_t* buffer, std::size_t size) = 0;
  std::vector<uint8_t> ReadAll();
  // Blocks until the host has written bytes not yet read here, or timeoutMs passes.
  virtual bool WaitReadable(int timeoutMs) = 0;
  // Readable while bytes from the host are waiting here.
  virtual NativeWaitHandle Fd() const = 0;

  // The modem status the host reads (MS_* bits). Starts as CTS, DSR and RLSD on. A change
  // raises kEvCts / kEvDsr / kEvRlsd / kEvRing at the host as the bits change.
  virtual void SetModemLines(uint32_t msBits) = 0;
  virtual uint32_t ModemLines() const = 0;
  // DTR, RTS and break as the host drives them (kHost* bits).
  virtual uint32_t HostLines() const = 0;
  // The host's ClearError reports these CE_* bits; kEvErr (and kEvBreak for kCeBreak) is raised.
  virtual void InjectErrors(uint32_t ceBits) = 0;
  // While stalled, host writes transfer nothing and complete with 0 bytes at their time-out.
  virtual void StallTransmitter(bool stalled) = 0;
  // Ends the line: host reads, waits and writes fail from now on, with no system error (the far
  // end went away); the host still reads the modem lines.
  virtual void Disconnect() = 0;
  // Ends the line as an adapter unplugged from the host does: host reads, waits, writes and
  // modem-status reads fail from now on with `systemError` as the system's error (an errno
  // value on POSIX, a Win32 error code on Windows).
  virtual void Fail(int systemError) = 0;
  // True while a host end is open on the line.
  virtual bool HostOpen() const = 0;
  // Blocks until at least `count` host calls wait on the line (WaitReadable, WaitEvent,
  // WaitModemLines, a Write held by a stall), or timeoutMs passes; false then. A test acts on
  // the far end once the host waits, instead of sleeping and hoping it does.
  virtual bool WaitHostWaiting(int count, int timeoutMs) = 0;
  // How often the host discarded its input queue (kPurgeRxClear).
  virtual uint32_t HostReceivePurges() const = 0;
};

// Registers a virtual line under the Windows name ("COM3"); OpenSerialLine of that name then
// opens its host end (one at a time). Replaces an earlier registration of the name (a host end
// open on the old line keeps working with the old peer). Throws std::invalid_argument for a
// name that is not a port name. On the line, the peer's bytes and errors are lost while no host
// end is open; closing the host end drops DTR and RTS; a disconnected line cannot be opened
// again until the name is registered anew.
std::shared_ptr<VirtualPeer> RegisterVirtualLine(const std::string& windowsName);
void UnregisterVirtualLine(const std::string& windowsName);

// A pseudo-terminal pair for tests and the simulator: the master descriptor (device side) and
// the slave's path (what a host opens). The slave is set to raw mode and one slave descriptor
// is kept open here, so the master survives the host closing and reopening the slave.
class PseudoTerminal {
 public:
  PseudoTerminal();  // throws std::system_error when no pseudo-terminal can be had
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int MasterFd() const { return m_master; }
  const std::string& SlavePath() const { return m_slavePath; }

 private:
  int m_master = -1;
  int m_keptSlave = -1;
  std::string m_slavePath;
};

}  // namespace linvo::platform
