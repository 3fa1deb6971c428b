// The port object: one per serial port number, shared by every caller in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/caller.h"
#include "engine/notify.h"
#include "engine/result_codes.h"
#include "engine/trace_log.h"
#include "platform/message.h"
#include "platform/serial.h"
#include "platform/wake_event.h"

namespace linvo::engine {

// Control bytes of the text protocol.
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t EOT = 0x04;
inline constexpr uint8_t ENQ = 0x05;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;

// The receive buffer the text operations give the primitives.
inline constexpr int kReceiveCapacity = 5120;

// Port states.
inline constexpr int32_t kStateClosed = 1;
inline constexpr int32_t kStateOpen = 2;

// The window message that workers post to a port object's hidden window; registered once, when
// the library is loaded.
uint32_t PortEventMessage();

// Callback types stored by the background registrations; they are never called, only tested for
// null.
using ResponseCallback = long (*)(long, long, long, long);
using BinaryCallback = long (*)(long, long, long, long, long);
using CommCallback = long (*)(long, long, long, long);

class OperationFrame;

// A background thread of the port: the worker in the worker slot, or the comm-event watcher.
struct WorkerThread {
  std::thread thread;
  std::atomic<bool> posted{false};    // the worker has posted its last record
  std::atomic<bool> orphaned{false};  // ... and the post failed (the port's window is gone)
};

class CCommPort {
 public:
  // Loads the settings for the port number and creates the hidden window on the calling thread.
  explicit CCommPort(int16_t portNo);
  // Destroys the trace log (which closes the trace with an empty line) and the window. Neither
  // closes the port nor stops threads.
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
  // Why the last OpenPort could not open the line, as the system tells it ("Permission denied:
  // /dev/ttyUSB0"); "" once an open succeeded or before any.
  std::string LastErrorText() const;
  // The current trace log; a caller keeps the returned object alive while it writes.
  std::shared_ptr<CTraceLog> Log() const;

  // The block check: XOR of the bytes after the first STX up to and including the first ETX
  // after it (STX bytes are skipped). Always returns 1.
  static int CalcBCC(const uint8_t* bytes, int count, uint8_t* bcc);

  // Link primitives of the text protocol. Each writes its own trace lines; none takes the
  // operation lock.
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
  Result ReceiveResponse(Caller caller, int16_t recMode, int32_t responseTimer,
                         int32_t busyTimeOut, int32_t dsrCheck, std::string* status,
                         std::string* code, std::string* data);
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
  Result ReceiveDataPlain(Caller caller, int32_t dsrCheck, std::string* data,
                          int16_t* length);
  Result ReceiveDataFramed(Caller caller, int16_t ackResponse, int32_t responseTimer,
                           int32_t dsrCheck, std::string* data, int16_t* length);
  Result ReceiveDataHF(Caller caller, int16_t ackJudge, int32_t responseTimer,
                       int32_t dsrCheck, std::string* reserve, std::string* response,
                       std::string* statusCode, std::string* reserve2, std::string* response2,
                       std::string* statusCode2, std::string* data, int16_t* length);
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

  // The event bit of a result code for the running worker's kind (0: none).
  uint32_t ResultToEventBit(Result code) const;

  // Binary link functions: SYN-escaped frames, two-byte control messages, raw bytes. Capacity 2
  // selects the acknowledgement read.
  Result WriteCommForBinary(const uint8_t* bytes, int32_t length, int32_t timeout,
                            int16_t dsrCheck, int16_t ctsCheck);
  Result ReadCommForBinary(uint8_t* buffer, int* length, int32_t timeout, int16_t dsrCheck);
  Result ReadCommForUnformattedBinary(uint8_t* buffer, int* length, int32_t timeout,
                                      int16_t dsrCheck);

  // Binary operations. Reply buffers are the caller's, of the stated capacity.
  Result SendBinaryCommandRR(Caller caller, int32_t ackTimer, int16_t retryCount,
                             int32_t dsrCheck, int32_t ctsCheck, const uint8_t* data,
                             int16_t length, int32_t responseTimer, uint8_t* reply,
                             int16_t capacity, int16_t* replyLength);
  Result SendBinaryCommand(Caller caller, int32_t ackTimer, int16_t retryCount,
                           int32_t dsrCheck, int32_t ctsCheck, const uint8_t* data,
                           int16_t length);
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
  friend class OperationFrame;

// A background thread of the port: the worker in the worker slot, or the comm-event watcher.
struct WorkerThread {
  std::thread thread;
  std::atomic<bool> posted{false};    // the worker has posted its last record
  std::atomic<bool> orphaned{false};  // ... and the post failed (the port's window is gone)
};

  void SetLastErrorText(std::string text);
  // Reads the settings file: delay, write time-out, a new trace log with the version line.
  void LoadSettings();
  void Trace(int level, std::string_view label, std::string_view text) const;
  void TraceMessage(Message message, int extra = 0) const;
  void TraceDump(const uint8_t* data, std::size_t length) const;
  // "[Error]Dump Receive Data" with the bytes, then the failure of a receive whose wait failed:
  // 112 when the DSR check is on and DSR is off, else 201.
  Result FailedReceive(const std::vector<uint8_t>& received, int16_t dsrCheck);
  // Whether a background worker exists and was asked to stop.
  bool WorkerStopRequested() const;
  // The descriptor a receive wait includes: the wake-up event while a worker exists (a stop
  // request then ends the wait), else none.
  const platform::WakeEvent* ReceiveWakeFd() const;
  // Waits for a received byte up to timeoutMs; with the DSR check on, the wait is cut into
  // short slices so that DSR dropping is noticed.
  platform::WaitResult WaitForInput(int timeoutMs, int16_t dsrCheck);
  // Waits for the modem line to come on; false once more than `timeout` ms passed with it off
  // (with a time-out of 0: as soon as the clock has advanced).
  bool WaitLineOn(uint32_t bit, int32_t timeout);
  // Waits for a stop request only (bytes that arrive meanwhile are left alone).
  platform::WaitResult WaitForStop(int timeoutMs, int16_t dsrCheck);

  // Reads reports until a valid one arrives (answering SYN ACK) or the bad-block limit is
  // reached (answering SYN NAK before each new read); 130 when the report does not fit.
  Result ReceiveReport(int32_t timer, int16_t retryCount, int16_t dsrCheck, int16_t ctsCheck,
                       int32_t ackTimer, uint8_t* reply, int16_t capacity, int16_t* replyLength,
                       bool reportOnly);

  // Background machinery.
  // The shared start sequence: checks, slot rules, thread creation.
  Result StartWorker(OperationFrame& frame, uint16_t kind, bool stopRequest, bool namedBusy,
                     void (CCommPort::*procedure)());
  // Handles the port event message on the thread that created the port object.
  std::intptr_t OnPortEvent(platform::WParam wParam, platform::LParam lParam);
  // Stops the worker (silently, as a close does) and the watcher and joins them.
  void StopThreads();
  // Takes the worker out of the slot and joins it; exactly one caller gets a given worker.
  void ReapWorker(WorkerThread* expected);
  bool WorkerStopped() const { return m_bWorkerStop.load() == 1; }
  // Posts a record of the running kind; frees it when the post fails.
  void Post(NotifyRecord* record, uint32_t bit);
  void PostEmpty(uint32_t bit);
  // Ends a stopped worker: silently while closing, else with bit 0x0008.
  void EndStopped();
  // A start operation on a closed port: "ErrInfo ", "CSUnlock" and no exit line.
  Result NotOpenAtStart(OperationFrame& frame);
  // A worker's failed read: true when the worker ended (posted the failure's bit, or stopped);
  // false to read again (a time-out with time-out 0, after data arrived; or a bit outside the
  // mask).
  bool WorkerReadFailed(Result e, int32_t timeout, int16_t dsrCheck, uint32_t mask);
  // A worker's failed send: true when it posted the failure (its bit is in the mask); false to
  // carry on as if the send had succeeded.
  bool WorkerSendFailed(Result e, uint32_t mask);
  // Waits up to ms for a stop request.
  void PauseUnlessStopped(int ms);
  void ResponseWorker();
  void ResponseCallbackWorker();
  void BinaryReportWorker();
  void DataBCCWorker();
  void DataHFWorker();
  // Runs until stopped. The starting DSR state and received total are read by the open, so
  // that line changes right after it are measured against the line as it was opened. A queue
  // that a reader emptied between two events is recognised by the received total: when every
  // queued byte came after the previous event, the queue was empty when they started to arrive.
  void CommEventWatcher(bool dsrWasOn, uint64_t lastReceived);

  // Polls with EOT ENQ and receives the response until its letter is final (or recMode 0),
  // re-receiving bad frames with NAK. busyTimeOut is compared as an unsigned number.
  // *receiveFailed tells whether a failure came from a receive rather than a write.
  Result PollResponse(int16_t recMode, int32_t timer, int32_t busyTimeOut, int16_t dsrCheck,
                      uint8_t* frame, int* length, bool* receiveFailed);
  // Sends the bytes and waits for ACK or NAK, retryCount + 1 times at most; traces the final
  // time-out or NAK. Returns 2 on ACK.
  Result SendWithAck(const uint8_t* bytes, int count, int16_t retryCount, int32_t ackTimer,
                     int16_t dsrCheck);

  std::recursive_mutex m_csPort;   // operation lock
  std::recursive_mutex m_csRead;   // held for a whole frame receive
  std::recursive_mutex m_csWrite;  // held for a whole write
  std::unique_ptr<platform::SerialLine> m_hComm;  // null while closed
  const int16_t m_nPortNo;
  std::shared_ptr<CTraceLog> m_pLog;
  mutable std::mutex m_logLock;    // guards the m_pLog pointer only
  std::atomic<int32_t> m_nDelay{0};
  std::atomic<int32_t> m_nState{kStateClosed};
  std::atomic<int32_t> m_nWriteFileTimeOut{5000};

  // Background receive slot and stop requests. Setting a stop flag also signals m_wake, so a
  // wait in the kernel sees it at once.
  std::atomic<WorkerThread*> m_pWorkerThread{nullptr};
  std::atomic<int32_t> m_nWorkerType{0};
  int16_t m_nWorkerMode = 0;
  int32_t m_nWorkerTimeout = 0;
  int16_t m_bWorkerDsrCheck = 0;
  int16_t m_bWorkerCtsCheck = 0;
  int32_t m_nBusyTimer = 0;
  int32_t m_nAckMode = 0;
  int16_t m_nHFTwoPart = 0;
  int32_t m_lCallbackParam = 0;
  uint32_t m_lWorkerEventMask = 0;
  std::unique_ptr<std::thread> m_pWatchThread;
  platform::WakeEvent m_watchWake;
  std::atomic<int32_t> m_bWorkerStop{0};
  std::recursive_mutex m_csWorkerStop;
  std::atomic<int32_t> m_bWatchStop{0};
  std::recursive_mutex m_csWatchStop;
  std::atomic<int32_t> m_bClosing{0};
  std::atomic<int32_t> m_bSyncBusy{0};
  platform::WakeEvent m_wake;

  std::atomic<ResponseCallback> m_pfnResponseCallback{nullptr};
  std::atomic<BinaryCallback> m_pfnBinaryCallback{nullptr};
  std::atomic<CommCallback> m_pfnCommCallback{nullptr};
  std::atomic<uint32_t> m_lCommEventMask{0};

  platform::WindowHandle m_hWnd = 0;
  std::string m_sLastError;  // see LastErrorText
  mutable std::mutex m_lastErrorLock;
};

}  // namespace linvo::engine
