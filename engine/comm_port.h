// The port object: one per serial port number, shared by every caller in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/caller.h"
#include "engine/codec.h"
#include "engine/notify.h"
#include "engine/result_codes.h"
#include "engine/trace_log.h"
#include "engine/worker_slot.h"
#include "platform/message.h"
#include "platform/serial.h"

namespace linvo::engine {

// Control bytes of the text protocol (defined by the codec).
using codec::ACK;
using codec::ENQ;
using codec::EOT;
using codec::ETX;
using codec::NAK;
using codec::STX;

// The receive buffer the text operations give the primitives.
inline constexpr int kReceiveCapacity = 5120;

// Port states.
inline constexpr int32_t kStateClosed = 1;
inline constexpr int32_t kStateOpen = 2;

// The window message that workers post to a port object's hidden window; registered once, when
// the library is loaded.
uint32_t PortEventMessage();

class OperationBracket;

class CCommPort {
 public:
  // Loads the settings for the port number and creates the hidden window on the calling thread.
  // Throws std::system_error when a wake-up descriptor or the thread's message queue cannot be
  // had (no descriptor left).
  explicit CCommPort(int16_t portNo);
  // Stops and joins the worker (silently) and the watcher, closes the line, destroys the trace log
  // (which closes the trace with an empty line) and the window.
  virtual ~CCommPort();
  CCommPort(const CCommPort&) = delete;
  CCommPort& operator=(const CCommPort&) = delete;

  Result OpenPort(Caller caller, int32_t baudRate, const char* dataBits, const char* parity,
                  int32_t transmitBufferSize, int32_t receiveBufferSize, int32_t autoHandshake);
  Result ClosePort(Caller caller);
  // Re-reads the settings file under the operation lock; writes no trace lines of its own.
  Result ReloadSettings(Caller caller);

  int16_t PortNo() const { return m_nPortNo; }
  bool IsOpen() const { return m_nState.load() == kStateOpen; }
  platform::WindowHandle Window() const { return m_hWnd; }
  int32_t Delay() const { return m_nDelay.load(); }
  int32_t WriteFileTimeOut() const { return m_nWriteFileTimeOut.load(); }
  // Why a line call failed last, as the system tells it: the last OpenPort that could not open
  // the line ("Permission denied: /dev/ttyUSB0"), or a read, write, wait or modem-status read
  // that failed on the open line ("Input/output error"). "" once an open succeeded or before
  // any failure.
  std::string LastErrorText() const;
  // The current trace log; a caller keeps the returned object alive while it writes.
  std::shared_ptr<CTraceLog> Log() const;
  // False while the trace log writes nothing (mode 0, no file name).
  bool LogOn() const { return m_logOn.load(); }
  // An "ErrInfo " line with the reason an operation ended by an exception (the entry function
  // then answers 30).
  void TraceAbort(std::string_view reason) const noexcept;

  // The block check (codec::CalcBcc) into *bcc. Always returns 1.
  static int CalcBCC(const uint8_t* bytes, int count, uint8_t* bcc);

  // Link primitives of the text protocol. Each writes its own trace lines; none takes the
  // operation lock. A primitive that fails because a line call failed writes the system's
  // reason last (KeepSystemError).
  Result WriteComm(const uint8_t* bytes, int count, int32_t timeout, int16_t dsrCheck);
  // *length on entry: 1 = wait for a single ACK or NAK; otherwise the capacity of a frame
  // receive. On success buffer holds the frame (or the ACK/NAK byte), *length its size.
  Result ReadComm(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck);
  Result ReadCommHF(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck);
  Result RetryBCC(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck);
  int IsDSROn();
  int IsCTSOn();

  // Text command operations. Out texts may be null when the caller does not want them.
  Result SendCommand(Caller caller, int32_t ackTimer, int32_t dsrCheck, const char* command,
                     const char* parameter, int16_t parameterLength);
  Result ReceiveResponse(Caller caller, int16_t recMode, int32_t responseTimer, int32_t busyTimeOut,
                         int32_t dsrCheck, std::string* status, std::string* code,
                         std::string* data);
  Result SendCommandRR(Caller caller, int16_t recMode, int32_t ackTimer, int32_t busyTimeOut,
                       int32_t dsrCheck, const char* command, const char* parameter,
                       int16_t parameterLength, std::string* status, std::string* code,
                       std::string* data);

  // Text data operations.
  Result SendDataAck(Caller caller, int16_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                     const char* data, int16_t length);
  Result SendDataNoAck(Caller caller, int32_t ackTimer, int32_t dsrCheck, const char* data,
                       int16_t length);
  Result SendDataFramed(Caller caller, int16_t ackCheck, int16_t retryCount, int32_t ackTimer,
                        int32_t dsrCheck, const char* data, int16_t length);
  Result SendDataBCC(Caller caller, int16_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                     const char* data, int16_t length, std::string* reply, int16_t* replyLength);
  Result ReceiveDataPlain(Caller caller, int32_t dsrCheck, std::string* data, int16_t* length);
  Result ReceiveDataFramed(Caller caller, int16_t ackResponse, int32_t responseTimer,
                           int32_t dsrCheck, std::string* data, int16_t* length);
  Result ReceiveDataHF(Caller caller, int16_t ackJudge, int32_t responseTimer, int32_t dsrCheck,
                       std::string* reserve, std::string* response, std::string* statusCode,
                       std::string* reserve2, std::string* response2, std::string* statusCode2,
                       std::string* data, int16_t* length);
  Result ComBufferClear(Caller caller);

  // Background receives and registrations. A null callback asks a running worker of the
  // operation's kind to stop (ReceiveResponseCallback, ReceiveBinaryReportAsync) or unregisters
  // (WatchCommEvents).
  Result ReceiveResponseCallback(Caller caller, int16_t mode, int32_t timeout,
                                 ResponseCallback callback, int32_t param, uint32_t mask);
  Result ReceiveBinaryReportAsync(Caller caller, int32_t timeout, BinaryCallback callback,
                                  int32_t param, uint32_t mask);
  Result WatchCommEvents(Caller caller, CommCallback callback, int32_t param, uint32_t mask);
  Result ReceiveResponseAsync(Caller caller, int16_t portNo, int32_t responseTimer,
                              int32_t busyTimer, int16_t dsrCheck);
  Result ReceiveDataAsync(Caller caller, int16_t portNo, int16_t ackMode, int32_t timeout,
                          int16_t dsrCheck, uint32_t mask);
  Result ReceiveDataHFAsync(Caller caller, int16_t portNo, int16_t twoPart, int32_t timeout,
                            int16_t dsrCheck, uint32_t mask);

  // Binary link functions: SYN-escaped frames, two-byte control messages, raw bytes. Capacity 2
  // selects the acknowledgement read.
  Result WriteCommForBinary(const uint8_t* bytes, int32_t length, int32_t timeout, int16_t dsrCheck,
                            int16_t ctsCheck);
  Result ReadCommForBinary(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck);
  Result ReadCommForUnformattedBinary(uint8_t* buffer, int* length, int32_t timeout,
                                      int16_t dsrCheck);

  // Binary operations. Reply buffers are the caller's, of the stated capacity.
  Result SendBinaryCommandRR(Caller caller, int32_t ackTimer, int16_t retryCount, int32_t dsrCheck,
                             int32_t ctsCheck, const uint8_t* data, int16_t length,
                             int32_t responseTimer, uint8_t* reply, int16_t capacity,
                             int16_t* replyLength);
  Result SendBinaryCommand(Caller caller, int32_t ackTimer, int16_t retryCount, int32_t dsrCheck,
                           int32_t ctsCheck, const uint8_t* data, int16_t length);
  Result ReceiveBinaryReport(Caller caller, int32_t responseTimer, int16_t retryCount,
                             int32_t dsrCheck, int32_t ctsCheck, uint8_t* reply, int16_t capacity,
                             int16_t* replyLength);
  Result SendBinaryData(Caller caller, int32_t timeout, int32_t dsrCheck, int32_t ctsCheck,
                        const uint8_t* data, int16_t length);
  Result ReceiveBinaryData(Caller caller, int32_t timeout, int32_t dsrCheck, uint8_t* buffer,
                           int16_t capacity, int16_t* length);

  // Line control and line status.
  Result SetCommSettings(Caller caller, int16_t dsrFlow, int16_t ctsFlow);
  Result GetModemStatus(Caller caller, uint32_t* status);
  int32_t IsClaimed(Caller caller);
  Result PurgeBuffers(Caller caller);
  Result SetEventMask(Caller caller, uint32_t mask);
  Result SetCancelFlag(Caller caller, int32_t flag);
  Result SetLineControl(Caller caller, int32_t selector, int32_t state);

 private:
  friend class OperationBracket;

  // Reads the settings file: delay, write time-out, a new trace log with the version line.
  void LoadSettings();
  void SetLastErrorText(std::string text);
  void Trace(int level, std::string_view label, std::string_view text) const;
  void TraceMessage(Message message, int extra = 0) const;
  void TraceDump(const uint8_t* data, std::size_t length) const;
  // A receive's failure: `text` ("[Error]Dump Receive Data" or its binary form), the dump of
  // the bytes gathered, then the message; returns its code.
  Result FailDump(std::string_view text, const uint8_t* bytes, std::size_t count, Message message);
  // The system's reason of a failed line call (`error`, from IoResult, WaitOutcome or
  // LineResult): one "ErrInfo " line ("Input/output error (system error 5)"), written after
  // the failure's own lines, and the text kept for LastErrorText. Nothing for error 0.
  void KeepSystemError(int error);
  // Traces the line's notes (SerialLine::TakeNotes), after a call that may have caused them.
  void TraceLineNotes();
  // The failure of a receive whose read or wait failed with the system's `error`: "[Error]Dump
  // Receive Data" with the bytes, then 112 when the DSR check is on and DSR is off, else 201,
  // then the reason.
  Result FailedReceive(const uint8_t* bytes, std::size_t count, int16_t dsrCheck, int error);
  // The longest a receive with a time-out may run while bytes keep coming (see receive.cpp).
  uint32_t ReceiveBoundMs(int32_t timeout, std::size_t capacity);
  // What ends a receive besides its scanner: the idle time-out (negative: none), the DSR check,
  // the trace text before the dump of a receive that failed by DSR or time-out, and the
  // capacity its overall bound (ReceiveBoundMs) is reckoned for (none: the receive needs no
  // bound).
  struct ReceiveRules {
    int32_t timeout;
    int16_t dsrCheck;
    std::string_view failText;
    std::optional<std::size_t> boundCapacity;
  };
  // The receive driver of every receive: reads what the line has, as much as the scanner wants,
  // and waits for the quiet gap; once the line is idle, checks DSR, asks the scanner, then the
  // time-out and a stop request, and waits for more. Writes the failure lines (the success
  // lines are the caller's); returns 0 once the scanner says the receive is complete.
  Result Receive(codec::ReceiveScanner& scanner, const ReceiveRules& rules);
  // DSR, read for a DSR check: a failed read counts as off and leaves the system's error in
  // *error (may be null).
  bool DsrOn(int* error);
  // The line waits before a write pass: DSR when the DSR check is on, then CTS when ctsWait;
  // traces and returns 112 or 111 when a line stays off past the time-out, else 0.
  Result WaitLinesBeforeWrite(int32_t timeout, int16_t dsrCheck, bool ctsWait);
  // The hold of the line's DSR output flow before a write call (see link_io.cpp).
  platform::WaitOutcome WaitDsrFlow();
  // Sends the bytes in as many write calls as it takes, each after the line waits (when the
  // previous call moved nothing) and the settings' delay. With a time-out other than 0, no
  // progress for longer than it fails with 200 (Send1). A failed write call traces, when
  // dumpOnError, the binary error dump of the bytes sent before its message.
  Result WriteAll(const uint8_t* bytes, std::size_t total, int32_t timeout, int16_t dsrCheck,
                  bool ctsWait, bool dumpOnError);
  // The settings' delay before a write call; a stop request ends it early.
  void PauseBeforeWrite();
  // Whether a background worker runs and was asked to stop.
  bool WorkerStopRequested() const { return m_workerSlot.StopRequested(); }
  // The event a receive wait includes: the worker's stop event while a worker runs (a stop
  // request then ends the wait), else none.
  const platform::WakeEvent* ReceiveWake() const { return m_workerSlot.Wake(); }
  // Whether the worker slot is occupied: synchronous operations then answer 140. A worker whose
  // report can never be handled does not count (it is taken out here).
  bool WorkerBusy() { return m_workerSlot.RunningKind(ReportsCanArrive()) != 0; }
  // Asks a worker in the slot to stop; false when the slot is empty.
  bool RequestWorkerStop();
  // Waits for a received byte up to timeoutMs; with the DSR check on, the wait is cut into
  // short slices so that DSR dropping is noticed.
  platform::WaitOutcome WaitForInput(int timeoutMs, int16_t dsrCheck);
  // Waits for the modem line to come on; false once more than `timeout` ms passed with it off
  // (with a time-out of 0: as soon as the clock has advanced), or when the wait failed (*error
  // then holds the system's error).
  bool WaitLineOn(uint32_t bit, int32_t timeout, int* error);
  // The quiet-gap wait of a receive (kQuietGapMs); once bytes came, the gap is timed exactly.
  platform::WaitOutcome WaitQuiet(bool afterBytes);
  // The first wait of a receive, before its first read (a reply has seldom come yet). With a
  // time-out and no DSR check, nothing is looked at before a byte comes, the time-out passes or
  // a stop request wakes the wait, so it waits for just that (no short timer armed only for the
  // reply to cancel it), and the receive goes on to read and wait for the quiet gap as after any
  // wait. Otherwise nothing: the quiet-gap wait is the first wait.
  std::optional<platform::WaitOutcome> WaitFirstByte(int32_t timeout, int16_t dsrCheck);
  // Waits for a stop request only (bytes that arrive meanwhile are left alone).
  platform::WaitOutcome WaitForStop(int timeoutMs, int16_t dsrCheck);

  // Reads reports until a valid one arrives (answering SYN ACK) or the bad-block limit is
  // reached (answering SYN NAK before each new read); 130 when the report does not fit.
  Result ReceiveReport(int32_t timer, int16_t retryCount, int16_t dsrCheck, int16_t ctsCheck,
                       int32_t ackTimer, uint8_t* reply, int16_t capacity, int16_t* replyLength,
                       bool reportOnly);

  // Background machinery (background_start.cpp, background_workers.cpp,
  // background_watcher.cpp).
  struct StartRequest;
  // The shared start sequence of the five start operations: the bracket, the open and parameter
  // checks, the slot rules, the new worker.
  Result StartBackground(Caller caller, const StartRequest& request);
  // Whether the port's window still exists, so that a posted report will be handled.
  bool ReportsCanArrive() const;
  // Handles the port event message on the thread that created the port object.
  std::intptr_t OnPortEvent(platform::WParam wParam, platform::LParam lParam);
  // Stops the worker (silently, as a close does) and the watcher and joins them.
  void StopThreads();
  // Posts the worker's last record to the port's window. A failed post marks the worker orphaned
  // (and frees the record): the next start or synchronous operation frees its slot.
  void Post(Worker& self, NotifyRecordPtr record, uint32_t bit);
  void PostEmpty(Worker& self, uint32_t bit);
  // Ends a stopped worker: silently while closing, else with bit 0x0008.
  void EndStopped(Worker& self);
  // A worker's failed read: true when the worker ended (posted the failure's bit, or stopped);
  // false to read again (a time-out with time-out 0, after data arrived; or a bit outside the
  // mask).
  bool WorkerReadFailed(Worker& self, Result e);
  // A worker's failed send: true when it posted the failure (its bit is in the mask); false to
  // carry on as if the send had succeeded.
  bool WorkerSendFailed(Worker& self, Result e);
  void ResponseWorker(Worker& self);
  void ResponseCallbackWorker(Worker& self);
  void BinaryReportWorker(Worker& self);
  void DataBCCWorker(Worker& self);
  void DataHFWorker(Worker& self);
  // A synchronous exchange begins or ends on the line (the operation bracket): m_bSyncBusy, and
  // the line holds the data-arrived and transmit-empty events for the exchange, so that the
  // watcher neither wakes for them nor reports them late (see background_watcher.cpp).
  void BeginSyncExchange();
  void EndSyncExchange();
  // Sets the line's hold of those two events for the present state: an exchange on the line,
  // the trace level, the callback and its mask. Called (under m_csPort) whenever one changes.
  void UpdateEventHold();
  // Runs until stopped. The starting DSR state and received total are read by the open, so
  // that line changes right after it are measured against the line as it was opened. A queue
  // that a reader emptied between two events is recognised by the received total: when every
  // queued byte came after the previous event, the queue was empty when they started to arrive.
  void CommEventWatcher(bool dsrWasOn, uint64_t lastReceived);
  // Starts the watcher when none runs (the open).
  void StartWatcher();

  // Polls with EOT ENQ and receives the response until its letter is final (or recMode 0),
  // re-receiving bad frames with NAK. busyTimeOut is compared as an unsigned number.
  // *receiveFailed tells whether a failure came from a receive rather than a write.
  Result PollResponse(int16_t recMode, int32_t timer, int32_t busyTimeOut, int16_t dsrCheck,
                      uint8_t* frame, int* length, bool* receiveFailed);
  // Sends the bytes and waits for ACK or NAK, retryCount + 1 times at most; traces the final
  // time-out or NAK. Returns 2 on ACK.
  Result SendWithAck(const uint8_t* bytes, int count, int16_t retryCount, int32_t ackTimer,
                     int16_t dsrCheck);

  std::recursive_mutex m_csPort;  // operation lock
  // Taken by the link primitives for a whole write or receive, so that a worker and a foreground
  // operation that runs beside it (the response receive makes no worker check) never interleave
  // their bytes or their trace lines on the line.
  std::recursive_mutex m_csRead;
  std::recursive_mutex m_csWrite;
  std::unique_ptr<platform::SerialLine> m_hComm;  // null while closed
  const int16_t m_nPortNo;
  std::shared_ptr<CTraceLog> m_pLog;
  mutable std::mutex m_logLock;  // guards the m_pLog pointer only
  // Whether m_pLog writes lines of any level, set with the pointer: while logging is off the
  // trace calls return at once, without the pointer's lock or building their text.
  std::atomic<bool> m_logOn{false};
  std::atomic<int32_t> m_nDelay{0};
  std::atomic<int32_t> m_nState{kStateClosed};
  std::atomic<int32_t> m_nWriteFileTimeOut{5000};
  // A synchronous exchange is on the line: the watcher holds back data and transmit reports.
  std::atomic<int32_t> m_bSyncBusy{0};
  // The line's present hold of the data-arrived and transmit-empty events (UpdateEventHold):
  // none, dropping them, or reporting them as held. Guarded by m_csPort.
  enum class EventHold : uint8_t { kNone, kDrop, kReport };
  EventHold m_eventHold = EventHold::kNone;

  WorkerSlot m_workerSlot;

  // The comm-event watcher and its registration.
  std::unique_ptr<std::thread> m_pWatchThread;
  StopRequest m_watchStop;
  std::atomic<CommCallback> m_pfnCommCallback{nullptr};
  std::atomic<uint32_t> m_lCommEventMask{0};

  platform::WindowHandle m_hWnd = 0;
  std::string m_sLastError;  // see LastErrorText
  mutable std::mutex m_lastErrorLock;
};

}  // namespace linvo::engine
