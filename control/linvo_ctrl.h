// CLinvoCtrl: the object a host holds. It sets properties, calls methods that drive the port
// through the entry functions, and receives the completions of background operations and the
// line events as events.
//
// Thread rule: a control is used on the thread that created it. Its message window belongs to
// that thread, and events fire there while the thread pumps its messages
// (platform::PumpMessages, or platform::MessageQueueFd in the host's own poll loop). A control
// created on another thread gets a window of that thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "control/control_properties.h"
#include "control/event_sink.h"
#include "control/member_table.h"
#include "control/property_bag.h"
#include "control/value.h"
#include "engine/port_numbers.h"
#include "platform/message.h"

namespace linvo::engine {
struct NotifyRecord;
}

namespace linvo::control {

class CLinvoCtrl {
 public:
  // Creates the message window on the calling thread and initialises the properties as a new
  // control (the property exchange with defaults, then the settings file).
  CLinvoCtrl();
  // Closes the port this control holds open, then destroys the window; notifications still
  // queued for it are freed unread.
  virtual ~CLinvoCtrl();
  CLinvoCtrl(const CLinvoCtrl&) = delete;
  CLinvoCtrl& operator=(const CLinvoCtrl&) = delete;

  // ---- Methods (result codes; 1 = a background operation was started) ----
  int32_t lvoOpenPort();
  int32_t lvoClosePort();
  int32_t lvoSendCommandRR(int32_t iRecMode, int32_t lBusyTimeOut);
  int32_t lvoSendCommand();
  int32_t lvoReceiveResponse(int32_t iRecMode, int32_t lBusyTimeOut);
  int32_t lvoSendDataBCCRR(int32_t lResponseMode, int32_t lRetryCount);
  int32_t lvoSendData(int32_t lACKCheck, int32_t lRetryCount, int32_t lStxEtxBcc);
  int32_t lvoReceiveData(int32_t lResponseMode, int32_t lACKResponse, int32_t lStxEtxBcc);
  int32_t lvoReceiveDataHF(int32_t lResponseMode, int32_t lACKJudge);
  int32_t lvoComBufferClear(int32_t lTxRxFlag);
  int32_t lvoSendBinaryCommandRR(int32_t lResponseMode, int32_t lRetryCount);
  int32_t lvoSendBinaryCommand(int32_t lRetryCount);
  int32_t lvoReceiveBinaryReport(int32_t lResponseMode, int32_t lRetryCount);
  int32_t lvoSendBinaryData();
  int32_t lvoReceiveBinaryData();
  int32_t lvoPrintJobClear();
  int32_t lvoSendDataHFRR(int32_t lResponseMode, int32_t lACKJudge);
  void lvoResPropertyClear();
  std::string lvoCharAscHConv(int32_t lConvMode, const std::string& csQConvStr);
  std::string lvoDataSumCalc(const std::string& csQSumStr);
  std::string lvoJISconvSJIS(int32_t lJConvMode, const std::string& csQJConvStr);
  // Why the last lvoPrintJobClear answered 30, as the spooler told it ("The printer or class
  // does not exist.: Office (system error 1030)"); "" after any other result or before any.
  const std::string& PrintJobClearErrorText() const { return m_printJobError; }

  // ---- Properties ----
  // Reads that look at the port or the system first.
  std::string ReadPortNames();
  std::string ReadCommStatus();
  BOOL GetClaimed();
  std::string GetVersion();
  // Every other read returns the field as it is.
  const ControlProperties& Properties() const { return m_props; }

  // Puts. Each marks the control modified; a refused put changes nothing else and says nothing.
  // Line properties: refused while this control holds PortNo open.
  void SetPortNo(int32_t value);
  void SetBaudRate(int32_t value);
  void SetDataBit(const std::string& value);
  void SetParity(const std::string& value);
  void SetDSRCheck(BOOL value);
  void SetCTSCheck(BOOL value);
  void SetTXBufferSize(int32_t value);
  void SetRXBufferSize(int32_t value);
  void SetAutoHandshake(BOOL value);
  void SetACKTimer(int32_t value);
  void SetResponseTimer(int32_t value);
  // Port actions: the field changes only when the port accepts the request.
  void SetEventMask(int32_t value);
  void SetCancelFlag(BOOL value);
  void SetDTRLineControl(BOOL value);
  void SetRTSLineControl(BOOL value);
  void SetBreakControl(BOOL value);
  void SetSendData(const std::string& value);
  void SetPrinterDeviceName(const std::string& value);
  // Settings-file properties: written to Linvo.ini in the per-user temporary directory, then
  // the port object of PortNo re-reads its settings.
  void SetSendDelayTime(int32_t value);
  void SetWriteFileTimeOut(int32_t value);
  void SetLogFlag(int32_t value);
  void SetLogFileFolder(const std::string& value);
  // The read-only-in-effect properties: the value is ignored.
  void IgnorePut() { SetModifiedFlag(); }

  // ---- Events ----
  // Connects a sink (not owned; it must stay alive until disconnected) and returns its cookie
  // (> 0). Sinks may be connected and disconnected at any time, also from inside an event.
  int Advise(EventSink* sink);
  bool Unadvise(int cookie);

  // ---- Persistence ----
  // The property exchange with defaults (a new control, or a reset).
  void InitNew();
  // Restores the persisted properties from the bag; the four settings-file properties then come
  // from Linvo.ini.
  void Load(PropertyBag& bag);
  // Writes the persisted properties to the bag (the property exchange) and clears the modified
  // mark unless told to keep it.
  void Save(PropertyBag& bag, bool clearModified = true);
  // Writes what Save would write, without the exchange's other effects (the port-open flags and
  // the settings file are left alone): for a host that asks how large a save will be.
  void WriteProperties(PropertyBag& bag) const;
  bool IsModified() const { return m_modified; }
  // Marks the control modified (a host's save that failed leaves it so).
  void SetModifiedFlag() { m_modified = true; }

  // Whether this control holds the port open (its port-open flag; port numbers 1..256).
  bool IsPortOpen(int32_t portNo) const;
  // The control's message window (the handle lvoOpenPort names in the control window table).
  platform::WindowHandle Window() const { return m_window; }

 protected:
  // Registers the line-event watcher of the port that lvoOpenPort has just opened
  // (WatchCommEvents). Virtual so that a test can register a competing watcher first.
  virtual int32_t RegisterCommWatcher(int32_t portNo, int32_t eventMask);

 private:
  enum class Direction { kLoad, kSave, kDefaults };

  BOOL DsrFlag() const { return m_props.DSRCheck == TRUE ? 1 : 0; }
  BOOL CtsFlag() const { return m_props.CTSCheck == TRUE ? 1 : 0; }
  // Not open: the port-open flag of PortNo is 0 (a PortNo outside 1..256 counts as not open).
  bool NotOpen() const { return !IsPortOpen(m_props.PortNo); }
  // PortNo as the entry functions are given it: a number outside 1..256 (which only loaded data
  // can bring) becomes 0, which they refuse with 100, so that it cannot name another port through
  // their 16-bit port numbers.
  int32_t Port() const;
  void SetPortOpen(int32_t portNo, bool open);
  void ApplyResponse(int32_t code, const std::string& status, const std::string& codeText,
                     const std::string& data);
  void ApplyBinaryResult(int32_t code, const std::vector<uint8_t>& buffer, int16_t length);
  void PutSettingsValue(const MemberInfo& member, const Value& value);

  // Persistence (persistence.cpp).
  void Exchange(PropertyBag* bag, Direction direction);
  void ReadSettingsFile();

  // Events (events.cpp).
  std::intptr_t OnMessage(uint32_t msg, platform::WParam w, platform::LParam l);
  // Each takes what a notification carries into the result properties and returns the
  // event's argument. The record may be null.
  int32_t TakeResponse(const engine::NotifyRecord* record, uint32_t bit);
  int32_t TakeBinaryReport(const engine::NotifyRecord* record, uint32_t bit);
  int32_t TakeDataBCC(const engine::NotifyRecord* record, uint32_t bit);
  int32_t TakeDataHF(const engine::NotifyRecord* record, uint32_t bit);
  void Fire(void (LinvoEvents::*event)(int32_t), int32_t argument);

  ControlProperties m_props;
  std::array<bool, engine::kMaxPortNo + 1> m_portOpen{};  // indexed by port number
  // The ports this control opened and has not closed; unlike the port-open flags, the property
  // exchange leaves them, so that the destructor closes them all.
  std::array<bool, engine::kMaxPortNo + 1> m_opened{};
  bool m_modified = false;
  std::string m_defaultLogPath;
  std::string m_printJobError;  // see PrintJobClearErrorText
  platform::WindowHandle m_window = 0;
  std::vector<std::pair<int, EventSink*>> m_sinks;
  int m_nextCookie = 1;
};

}  // namespace linvo::control
