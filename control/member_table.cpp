#include "control/member_table.h"

#include <algorithm>
#include <cctype>

#include "control/linvo_ctrl.h"
#include "platform/text.h"

namespace linvo::control {
namespace {

using P = ControlProperties;

int32_t L(const Value& v) { return std::get<int32_t>(v); }
BOOL B(const Value& v) { return std::get<bool>(v) ? TRUE : FALSE; }
const std::string& T(const Value& v) { return std::get<std::string>(v); }

constexpr SettingsKey kDelayKey{"Delay", "Delay", 3, true};
constexpr SettingsKey kTimeOutKey{"TimeOut", "WriteFileTimeOut", 4, true};
constexpr SettingsKey kLoggingKey{"Log", "Logging", 1, false};
constexpr SettingsKey kLogFileKey{"Log", "LogFileName", 2, false};

void Ignored(CLinvoCtrl& c, const Value&) { c.IgnorePut(); }

constexpr MemberInfo Prop(int32_t dispid, const char* name, VarType type, LongField longField,
                          TextField textField, int32_t defaultLong, const char* defaultText,
                          uint8_t order, PutFunction put, GetFunction get,
                          const SettingsKey* settings) {
  return MemberInfo{dispid,    name,        MemberKind::kProperty, type,  {},       0,   longField,
                    textField, defaultLong, defaultText,           order, settings, get, put,
                    nullptr,   nullptr};
}
constexpr MemberInfo LongProp(int32_t dispid, const char* name, LongField field, int32_t def,
                              uint8_t order, PutFunction put, const SettingsKey* s = nullptr) {
  return Prop(dispid, name, VarType::kLong, field, nullptr, def, nullptr, order, put, nullptr, s);
}
constexpr MemberInfo BoolProp(int32_t dispid, const char* name, LongField field, BOOL def,
                              uint8_t order, PutFunction put, GetFunction get = nullptr) {
  return Prop(dispid, name, VarType::kBool, field, nullptr, def, nullptr, order, put, get, nullptr);
}
constexpr MemberInfo TextProp(int32_t dispid, const char* name, TextField field, const char* def,
                              uint8_t order, PutFunction put, GetFunction get = nullptr,
                              const SettingsKey* s = nullptr) {
  return Prop(dispid, name, VarType::kText, nullptr, field, 0, def, order, put, get, s);
}
constexpr MemberInfo Method(int32_t dispid, const char* name, VarType result,
                            std::array<ParamInfo, 3> params, uint8_t count, CallFunction call) {
  return MemberInfo{dispid,  name,    MemberKind::kMethod,
                    result,  params,  count,
                    nullptr, nullptr, 0,
                    nullptr, 0,       nullptr,
                    nullptr, nullptr, call,
                    nullptr};
}
// The member with its one line of meaning (the reference and the type information show it).
constexpr MemberInfo Help(MemberInfo member, const char* help) {
  member.help = help;
  return member;
}
constexpr ParamInfo Long(const char* name) { return {name, VarType::kLong}; }
constexpr ParamInfo Text(const char* name) { return {name, VarType::kText}; }

using A = std::span<const Value>;

// DISPID order. The exchange order (the column after the default) is the order of the
// persisted data.
constexpr MemberInfo kMembers[] = {
    Help(TextProp(1, "GetPortNames", &P::GetPortNames, "", 1, Ignored,
                  [](CLinvoCtrl& c) -> Value { return c.ReadPortNames(); }),
         "The serial ports a host can open, as one comma-separated text (COM1,COM3); read-only."),
    Help(LongProp(2, "PortNo", &P::PortNo, 1, 2,
                  [](CLinvoCtrl& c, const Value& v) { c.SetPortNo(L(v)); }),
         "The port number, 1 to 256 (COMn); changes only while the port is closed."),
    Help(LongProp(3, "BaudRate", &P::BaudRate, 9600, 3,
                  [](CLinvoCtrl& c, const Value& v) { c.SetBaudRate(L(v)); }),
         "The line speed: 2400, 4800, 9600, 19200, 38400, 57600, 115200 or any higher rate."),
    Help(TextProp(4, "DataBit", &P::DataBit, "8", 4,
                  [](CLinvoCtrl& c, const Value& v) { c.SetDataBit(T(v)); }),
         "The data bits, \"7\" or \"8\"."),
    Help(TextProp(5, "Parity", &P::Parity, "E", 5,
                  [](CLinvoCtrl& c, const Value& v) { c.SetParity(T(v)); }),
         "The parity, \"N\", \"E\" or \"O\"."),
    Help(BoolProp(6, "DSRCheck", &P::DSRCheck, TRUE, 6,
                  [](CLinvoCtrl& c, const Value& v) { c.SetDSRCheck(B(v)); }),
         "Wait for DSR before writing and check it when a receive fails."),
    Help(BoolProp(7, "CTSCheck", &P::CTSCheck, TRUE, 7,
                  [](CLinvoCtrl& c, const Value& v) { c.SetCTSCheck(B(v)); }),
         "Wait for CTS before the binary operations write."),
    Help(LongProp(8, "TXBufferSize", &P::TXBufferSize, 2048, 8,
                  [](CLinvoCtrl& c, const Value& v) { c.SetTXBufferSize(L(v)); }),
         "The driver's transmit queue size in bytes."),
    Help(LongProp(9, "RXBufferSize", &P::RXBufferSize, 2048, 9,
                  [](CLinvoCtrl& c, const Value& v) { c.SetRXBufferSize(L(v)); }),
         "The driver's receive queue size in bytes."),
    Help(LongProp(10, "ACKTimer", &P::ACKTimer, 1000, 11,
                  [](CLinvoCtrl& c, const Value& v) { c.SetACKTimer(L(v)); }),
         "How long to wait for ACK or NAK, in milliseconds."),
    Help(LongProp(11, "ResponseTimer", &P::ResponseTimer, 3000, 12,
                  [](CLinvoCtrl& c, const Value& v) { c.SetResponseTimer(L(v)); }),
         "How long to wait for a response, in milliseconds (0 or more)."),
    Help(TextProp(12, "GetCommStatus", &P::GetCommStatus, "000", 17, Ignored,
                  [](CLinvoCtrl& c) -> Value { return c.ReadCommStatus(); }),
         "The modem lines as three digits, DSR, CTS and RLSD (\"110\"); read-only."),
    Help(BoolProp(13, "Claimed", &P::Claimed, FALSE, 18, Ignored,
                  [](CLinvoCtrl& c) -> Value { return c.GetClaimed() != FALSE; }),
         "Whether the port is open; read-only."),
    Help(TextProp(14, "Version", &P::Version, "0.0.0.0", 19, Ignored,
                  [](CLinvoCtrl& c) -> Value { return c.GetVersion(); }),
         "The library's version, four comma-separated numbers; read-only."),
    Help(LongProp(15, "EventMask", &P::EventMask, 0, 20,
                  [](CLinvoCtrl& c, const Value& v) { c.SetEventMask(L(v)); }),
         "The line events (comm event bits) that fire lvoCommEvent."),
    Help(TextProp(16, "SendData", &P::SendData, "", 21,
                  [](CLinvoCtrl& c, const Value& v) { c.SetSendData(T(v)); }),
         "The outgoing text: a command (code and parameters), data, or hexadecimal binary data."),
    Help(TextProp(17, "ReceiveData", &P::ReceiveData, "", 22, Ignored),
         "The received data: text, or hexadecimal text for binary data; read-only."),
    Help(LongProp(18, "ReceiveDataLen", &P::ReceiveDataLen, 0, 23, Ignored),
         "The received data's length in bytes; read-only."),
    Help(TextProp(19, "PollCmdComSts", &P::PollCmdComSts, "", 24, Ignored),
         "The communication status of the last response (two characters); read-only."),
    Help(TextProp(20, "PollCmdSen", &P::PollCmdSen, "", 25, Ignored),
         "The sense code of the last \"R\" response (two characters); read-only."),
    Help(TextProp(21, "PollCmdErr", &P::PollCmdErr, "", 26, Ignored),
         "The error code of the last \"A\" or \"B\" response (two characters); read-only."),
    Help(TextProp(22, "PollCmdResData", &P::PollCmdResData, "", 27, Ignored),
         "The data of the last response; read-only."),
    Help(TextProp(23, "HFReceiveReserve", &P::HFReceiveReserve, "", 28, Ignored),
         "The reserve character of the last HF reply; read-only."),
    Help(TextProp(24, "HFReceiveResp", &P::HFReceiveResp, "", 29, Ignored),
         "The response code of the last HF reply (two characters); read-only."),
    Help(TextProp(25, "HFReceiveStat", &P::HFReceiveStat, "", 30, Ignored),
         "The status code of the last HF reply (two characters); read-only."),
    Help(TextProp(26, "HFReceiveData", &P::HFReceiveData, "", 31, Ignored),
         "The data of the last HF reply; read-only."),
    Help(LongProp(27, "HFReceiveDataLen", &P::HFReceiveDataLen, 0, 32, Ignored),
         "The data length of the last HF reply; read-only."),
    Help(BoolProp(28, "CancelFlag", &P::CancelFlag, FALSE, 33,
                  [](CLinvoCtrl& c, const Value& v) { c.SetCancelFlag(B(v)); }),
         "Set to true to stop the background receive."),
    Help(BoolProp(29, "DTRLineControl", &P::DTRLineControl, TRUE, 13,
                  [](CLinvoCtrl& c, const Value& v) { c.SetDTRLineControl(B(v)); }),
         "The DTR line: true raises it, false lowers it."),
    Help(BoolProp(30, "RTSLineControl", &P::RTSLineControl, TRUE, 14,
                  [](CLinvoCtrl& c, const Value& v) { c.SetRTSLineControl(B(v)); }),
         "The RTS line: true raises it, false lowers it."),
    Help(BoolProp(31, "BreakControl", &P::BreakControl, FALSE, 15,
                  [](CLinvoCtrl& c, const Value& v) { c.SetBreakControl(B(v)); }),
         "The break condition: true sets it, false clears it."),
    Help(TextProp(32, "PrinterDeviceName", &P::PrinterDeviceName, "", 16,
                  [](CLinvoCtrl& c, const Value& v) { c.SetPrinterDeviceName(T(v)); }),
         "The printer whose queued jobs lvoPrintJobClear cancels."),
    Help(BoolProp(33, "AutoHandshake", &P::AutoHandshake, TRUE, 10,
                  [](CLinvoCtrl& c, const Value& v) { c.SetAutoHandshake(B(v)); }),
         "The handshake flag given to the port when it opens."),
    Help(LongProp(
             34, "SendDelayTime", &P::SendDelayTime, 0, 34,
             [](CLinvoCtrl& c, const Value& v) { c.SetSendDelayTime(L(v)); }, &kDelayKey),
         "The pause before every write in milliseconds ([Delay] Delay of Linvo.ini)."),
    Help(LongProp(
             35, "WriteFileTimeOut", &P::WriteFileTimeOut, 5000, 35,
             [](CLinvoCtrl& c, const Value& v) { c.SetWriteFileTimeOut(L(v)); }, &kTimeOutKey),
         "The time-out of every write in milliseconds ([TimeOut] WriteFileTimeOut of Linvo.ini)."),
    Help(LongProp(
             36, "LogFlag", &P::LogFlag, 0, 36,
             [](CLinvoCtrl& c, const Value& v) { c.SetLogFlag(L(v)); }, &kLoggingKey),
         "The trace mode: 0 off, 1 file, 2 file (errors), 3 stderr, 4 stderr (errors) ([Log] "
         "Logging)."),
    Help(
        TextProp(
            37, "LogFileFolder", &P::LogFileFolder, ".\\Linvo_%03d.log", 37,
            [](CLinvoCtrl& c, const Value& v) { c.SetLogFileFolder(T(v)); }, nullptr, &kLogFileKey),
        "The trace file's path pattern ([Log] LogFileName of Linvo.ini)."),

    Help(Method(38, "lvoOpenPort", VarType::kLong, {}, 0,
                [](CLinvoCtrl& c, A) -> Value { return c.lvoOpenPort(); }),
         "Opens the port PortNo with the line properties and starts watching the line."),
    Help(Method(39, "lvoClosePort", VarType::kLong, {}, 0,
                [](CLinvoCtrl& c, A) -> Value { return c.lvoClosePort(); }),
         "Closes the port."),
    Help(Method(40, "lvoSendCommandRR", VarType::kLong, {Long("iRecMode"), Long("lBusyTimeOut")}, 2,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendCommandRR(L(a[0]), L(a[1])); }),
         "Sends the command in SendData and receives its response; iRecMode 2 or more: in the "
         "background."),
    Help(Method(41, "lvoSendCommand", VarType::kLong, {}, 0,
                [](CLinvoCtrl& c, A) -> Value { return c.lvoSendCommand(); }),
         "Sends the command in SendData and waits for ACK."),
    Help(Method(42, "lvoReceiveResponse", VarType::kLong, {Long("iRecMode"), Long("lBusyTimeOut")},
                2,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoReceiveResponse(L(a[0]), L(a[1])); }),
         "Receives a response without sending; iRecMode 2 or more: in the background."),
    Help(
        Method(43, "lvoSendDataBCCRR", VarType::kLong, {Long("lResponseMode"), Long("lRetryCount")},
               2, [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendDataBCCRR(L(a[0]), L(a[1])); }),
        "Sends SendData as a framed data block and receives the framed reply; lResponseMode other "
        "than 0: in the background."),
    Help(Method(
             44, "lvoSendData", VarType::kLong,
             {Long("lACKCheck"), Long("lRetryCount"), Long("lStxEtxBcc")}, 3,
             [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendData(L(a[0]), L(a[1]), L(a[2])); }),
         "Sends SendData as data, with or without ACK wait and STX/ETX/BCC framing."),
    Help(Method(45, "lvoReceiveData", VarType::kLong,
                {Long("lResponseMode"), Long("lACKResponse"), Long("lStxEtxBcc")}, 3,
                [](CLinvoCtrl& c, A a) -> Value {
                  return c.lvoReceiveData(L(a[0]), L(a[1]), L(a[2]));
                }),
         "Receives text data, framed or plain; lResponseMode other than 0: in the background."),
    Help(
        Method(46, "lvoReceiveDataHF", VarType::kLong, {Long("lResponseMode"), Long("lACKJudge")},
               2, [](CLinvoCtrl& c, A a) -> Value { return c.lvoReceiveDataHF(L(a[0]), L(a[1])); }),
        "Receives an HF reply; lResponseMode other than 0: in the background."),
    Help(Method(47, "lvoComBufferClear", VarType::kLong, {Long("lTxRxFlag")}, 1,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoComBufferClear(L(a[0])); }),
         "Discards queued transmit and/or receive data."),
    Help(Method(48, "lvoSendBinaryCommandRR", VarType::kLong,
                {Long("lResponseMode"), Long("lRetryCount")}, 2,
                [](CLinvoCtrl& c,
                   A a) -> Value { return c.lvoSendBinaryCommandRR(L(a[0]), L(a[1])); }),
         "Sends the binary command in SendData (hexadecimal) and receives its report."),
    Help(Method(49, "lvoSendBinaryCommand", VarType::kLong, {Long("lRetryCount")}, 1,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendBinaryCommand(L(a[0])); }),
         "Sends the binary command in SendData (hexadecimal) and waits for SYN ACK."),
    Help(Method(50, "lvoReceiveBinaryReport", VarType::kLong,
                {Long("lResponseMode"), Long("lRetryCount")}, 2,
                [](CLinvoCtrl& c,
                   A a) -> Value { return c.lvoReceiveBinaryReport(L(a[0]), L(a[1])); }),
         "Receives a binary report; lResponseMode other than 0: in the background."),
    Help(Method(51, "lvoSendBinaryData", VarType::kLong, {}, 0,
                [](CLinvoCtrl& c, A) -> Value { return c.lvoSendBinaryData(); }),
         "Sends SendData (hexadecimal) as raw binary data."),
    Help(Method(52, "lvoReceiveBinaryData", VarType::kLong, {}, 0,
                [](CLinvoCtrl& c, A) -> Value { return c.lvoReceiveBinaryData(); }),
         "Receives raw binary data into ReceiveData as hexadecimal text."),
    Help(Method(53, "lvoPrintJobClear", VarType::kLong, {}, 0,
                [](CLinvoCtrl& c, A) -> Value { return c.lvoPrintJobClear(); }),
         "Cancels the queued jobs of the printer PrinterDeviceName."),
    Help(Method(54, "lvoSendDataHFRR", VarType::kLong, {Long("lResponseMode"), Long("lACKJudge")},
                2, [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendDataHFRR(L(a[0]), L(a[1])); }),
         "Sends SendData framed without ACK wait, then receives the HF reply."),
    Help(Method(55, "lvoResPropertyClear", VarType::kVoid, {}, 0,
                [](CLinvoCtrl& c, A) -> Value {
                  c.lvoResPropertyClear();
                  return std::monostate{};
                }),
         "Clears the result properties."),
    Help(Method(56, "lvoCharAscHConv", VarType::kText, {Long("lConvMode"), Text("csQConvStr")}, 2,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoCharAscHConv(L(a[0]), T(a[1])); }),
         "Converts text to its hexadecimal text (lConvMode 0) or hexadecimal text back to text."),
    Help(Method(57, "lvoDataSumCalc", VarType::kText, {Text("csQSumStr")}, 1,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoDataSumCalc(T(a[0])); }),
         "The sum of the text's bytes modulo 256, as two hexadecimal digits."),
    Help(Method(58, "lvoJISconvSJIS", VarType::kText, {Long("lJConvMode"), Text("csQJConvStr")}, 2,
                [](CLinvoCtrl& c, A a) -> Value { return c.lvoJISconvSJIS(L(a[0]), T(a[1])); }),
         "Converts hexadecimal JIS codes to Shift_JIS (lJConvMode 0) or back; \"\" for invalid "
         "input."),
};

constexpr EventInfo kEvents[] = {
    {1, "lvoCommEvent", "lEvent", &LinvoEvents::lvoCommEvent,
     "A line event the EventMask selects; the argument is its event bit."},
    {2, "lvoReceiveResponseEvent", "lResponse", &LinvoEvents::lvoReceiveResponseEvent,
     "A background response receive ended; the argument is its result code."},
    {3, "lvoReceiveBinaryReportEvent", "lBinaryReport", &LinvoEvents::lvoReceiveBinaryReportEvent,
     "A background binary report receive ended; 0 when a report arrived, else the result code."},
    {4, "lvoReceiveDataBCCEvent", "lResponse", &LinvoEvents::lvoReceiveDataBCCEvent,
     "A background data receive ended; 0 when data arrived, else the result code."},
    {5, "lvoReceiveDataHFEvent", "lResponse", &LinvoEvents::lvoReceiveDataHFEvent,
     "A background HF receive ended; 0 when data arrived (120 with a BCC error), else the result "
     "code."},
};

constexpr TypeLibraryInfo kTypeLibrary{
    "LINVOLib",
    1,
    0,
    0x409,
    "Linvo ActiveX ｺﾝﾄﾛｰﾙ ﾓｼﾞｭｰﾙ",
    "_DLinvo",
    "Linvo Control 用ﾃﾞｨｽﾊﾟｯﾁ ｲﾝﾀｰﾌｪｲｽ",
    "_DLinvoEvents",
    "Event interface for Linvo Control",
    "Linvo",
    "Linvo Control",
};

constexpr bool DispidsInOrder() {
  for (std::size_t i = 0; i < std::size(kMembers); ++i) {
    if (kMembers[i].dispid != static_cast<int32_t>(i + 1)) return false;
  }
  for (std::size_t i = 0; i < std::size(kEvents); ++i) {
    if (kEvents[i].dispid != static_cast<int32_t>(i + 1)) return false;
  }
  return true;
}
constexpr int kPropertyCount = 37;
constexpr bool PropertiesWellFormed() {
  bool seen[kPropertyCount + 1] = {};
  for (const MemberInfo& m : kMembers) {
    const bool property = m.kind == MemberKind::kProperty;
    if (property != (m.dispid <= kPropertyCount)) return false;
    if (!property) continue;
    if (m.exchangeOrder < 1 || m.exchangeOrder > kPropertyCount || seen[m.exchangeOrder]) {
      return false;
    }
    seen[m.exchangeOrder] = true;
    if ((m.type == VarType::kText) != (m.textField != nullptr)) return false;
    if ((m.type != VarType::kText) != (m.longField != nullptr)) return false;
    if (m.put == nullptr) return false;
  }
  return true;
}
constexpr bool EveryEntryHasHelp() {
  for (const MemberInfo& m : kMembers) {
    if (m.help == nullptr || *m.help == '\0') return false;
  }
  for (const EventInfo& e : kEvents) {
    if (e.help == nullptr || *e.help == '\0') return false;
  }
  return true;
}
static_assert(std::size(kMembers) == 58 && std::size(kEvents) == 5);
static_assert(EveryEntryHasHelp(), "every member and event has its line of meaning");
static_assert(DispidsInOrder(), "DISPID n is element n - 1");
static_assert(PropertiesWellFormed(), "37 properties, each with its field, put and exchange slot");

bool ArgumentsFit(const MemberInfo& member, std::span<const Value> arguments) {
  const std::span<const ParamInfo> params = member.Params();
  if (arguments.size() != params.size()) return false;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (TypeOf(arguments[i]) != params[i].type) return false;
  }
  return true;
}

}  // namespace

std::span<const MemberInfo> DispatchMembers() { return kMembers; }
std::span<const EventInfo> EventMembers() { return kEvents; }
const TypeLibraryInfo& TypeLibrary() { return kTypeLibrary; }

const MemberInfo* FindMember(int32_t dispid) {
  if (dispid < 1 || dispid > static_cast<int32_t>(std::size(kMembers))) return nullptr;
  return &kMembers[dispid - 1];
}

const MemberInfo* FindMember(std::string_view name) {
  for (const MemberInfo& m : kMembers) {
    if (platform::EqualsNoCase(m.name, name)) return &m;
  }
  return nullptr;
}

const EventInfo* FindEvent(int32_t dispid) {
  if (dispid < 1 || dispid > static_cast<int32_t>(std::size(kEvents))) return nullptr;
  return &kEvents[dispid - 1];
}

namespace {

template <class Field>
const MemberInfo& PropertyOf(Field field, Field MemberInfo::*which) {
  const auto it = std::find_if(std::begin(kMembers), std::end(kMembers),
                               [&](const MemberInfo& m) { return m.*which == field; });
  return *it;  // only called with fields that back a property
}

}  // namespace

const MemberInfo& MemberOf(LongField field) { return PropertyOf(field, &MemberInfo::longField); }
const MemberInfo& MemberOf(TextField field) { return PropertyOf(field, &MemberInfo::textField); }

std::span<const MemberInfo* const> ExchangeOrder() {
  static const auto order = [] {
    std::array<const MemberInfo*, kPropertyCount> sorted{};
    for (const MemberInfo& m : kMembers) {
      if (m.kind == MemberKind::kProperty) sorted[m.exchangeOrder - 1] = &m;
    }
    return sorted;
  }();
  return order;
}

std::optional<Value> GetProperty(CLinvoCtrl& control, const MemberInfo& member) {
  if (member.kind != MemberKind::kProperty) return std::nullopt;
  if (member.get != nullptr) return member.get(control);
  const ControlProperties& p = control.Properties();
  switch (member.type) {
    case VarType::kText:
      return p.*member.textField;
    case VarType::kBool:
      return p.*member.longField != FALSE;
    default:
      return p.*member.longField;
  }
}

bool PutProperty(CLinvoCtrl& control, const MemberInfo& member, const Value& value) {
  if (member.kind != MemberKind::kProperty || TypeOf(value) != member.type) return false;
  member.put(control, value);
  return true;
}

std::optional<Value> Invoke(CLinvoCtrl& control, const MemberInfo& member,
                            std::span<const Value> arguments) {
  if (member.kind != MemberKind::kMethod || !ArgumentsFit(member, arguments)) return std::nullopt;
  return member.call(control, arguments);
}

}  // namespace linvo::control
