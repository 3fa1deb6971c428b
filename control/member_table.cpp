#include "control/member_table.h"

#include <algorithm>
#include <cctype>

#include "control/linvo_ctrl.h"

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
                    nullptr};
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
                    nullptr, nullptr, call};
}
constexpr ParamInfo Long(const char* name) { return {name, VarType::kLong}; }
constexpr ParamInfo Text(const char* name) { return {name, VarType::kText}; }

using A = std::span<const Value>;

// DISPID order. The exchange order (the column after the default) is the order of the
// persisted data.
constexpr MemberInfo kMembers[] = {
    TextProp(1, "GetPortNames", &P::GetPortNames, "", 1, Ignored,
             [](CLinvoCtrl& c) -> Value { return c.GetGetPortNames(); }),
    LongProp(2, "PortNo", &P::PortNo, 1, 2,
             [](CLinvoCtrl& c, const Value& v) { c.SetPortNo(L(v)); }),
    LongProp(3, "BaudRate", &P::BaudRate, 9600, 3,
             [](CLinvoCtrl& c, const Value& v) { c.SetBaudRate(L(v)); }),
    TextProp(4, "DataBit", &P::DataBit, "8", 4,
             [](CLinvoCtrl& c, const Value& v) { c.SetDataBit(T(v)); }),
    TextProp(5, "Parity", &P::Parity, "E", 5,
             [](CLinvoCtrl& c, const Value& v) { c.SetParity(T(v)); }),
    BoolProp(6, "DSRCheck", &P::DSRCheck, TRUE, 6,
             [](CLinvoCtrl& c, const Value& v) { c.SetDSRCheck(B(v)); }),
    BoolProp(7, "CTSCheck", &P::CTSCheck, TRUE, 7,
             [](CLinvoCtrl& c, const Value& v) { c.SetCTSCheck(B(v)); }),
    LongProp(8, "TXBufferSize", &P::TXBufferSize, 2048, 8,
             [](CLinvoCtrl& c, const Value& v) { c.SetTXBufferSize(L(v)); }),
    LongProp(9, "RXBufferSize", &P::RXBufferSize, 2048, 9,
             [](CLinvoCtrl& c, const Value& v) { c.SetRXBufferSize(L(v)); }),
    LongProp(10, "ACKTimer", &P::ACKTimer, 1000, 11,
             [](CLinvoCtrl& c, const Value& v) { c.SetACKTimer(L(v)); }),
    LongProp(11, "ResponseTimer", &P::ResponseTimer, 3000, 12,
             [](CLinvoCtrl& c, const Value& v) { c.SetResponseTimer(L(v)); }),
    TextProp(12, "GetCommStatus", &P::GetCommStatus, "000", 17, Ignored,
             [](CLinvoCtrl& c) -> Value { return c.GetGetCommStatus(); }),
    BoolProp(13, "Claimed", &P::Claimed, FALSE, 18, Ignored,
             [](CLinvoCtrl& c) -> Value { return c.GetClaimed() != FALSE; }),
    TextProp(14, "Version", &P::Version, "0.0.0.0", 19, Ignored,
             [](CLinvoCtrl& c) -> Value { return c.GetVersion(); }),
    LongProp(15, "EventMask", &P::EventMask, 0, 20,
             [](CLinvoCtrl& c, const Value& v) { c.SetEventMask(L(v)); }),
    TextProp(16, "SendData", &P::SendData, "", 21,
             [](CLinvoCtrl& c, const Value& v) { c.SetSendData(T(v)); }),
    TextProp(17, "ReceiveData", &P::ReceiveData, "", 22, Ignored),
    LongProp(18, "ReceiveDataLen", &P::ReceiveDataLen, 0, 23, Ignored),
    TextProp(19, "PollCmdComSts", &P::PollCmdComSts, "", 24, Ignored),
    TextProp(20, "PollCmdSen", &P::PollCmdSen, "", 25, Ignored),
    TextProp(21, "PollCmdErr", &P::PollCmdErr, "", 26, Ignored),
    TextProp(22, "PollCmdResData", &P::PollCmdResData, "", 27, Ignored),
    TextProp(23, "HFReceiveReserve", &P::HFReceiveReserve, "", 28, Ignored),
    TextProp(24, "HFReceiveResp", &P::HFReceiveResp, "", 29, Ignored),
    TextProp(25, "HFReceiveStat", &P::HFReceiveStat, "", 30, Ignored),
    TextProp(26, "HFReceiveData", &P::HFReceiveData, "", 31, Ignored),
    LongProp(27, "HFReceiveDataLen", &P::HFReceiveDataLen, 0, 32, Ignored),
    BoolProp(28, "CancelFlag", &P::CancelFlag, FALSE, 33,
             [](CLinvoCtrl& c, const Value& v) { c.SetCancelFlag(B(v)); }),
    BoolProp(29, "DTRLineControl", &P::DTRLineControl, TRUE, 13,
             [](CLinvoCtrl& c, const Value& v) { c.SetDTRLineControl(B(v)); }),
    BoolProp(30, "RTSLineControl", &P::RTSLineControl, TRUE, 14,
             [](CLinvoCtrl& c, const Value& v) { c.SetRTSLineControl(B(v)); }),
    BoolProp(31, "BreakControl", &P::BreakControl, FALSE, 15,
             [](CLinvoCtrl& c, const Value& v) { c.SetBreakControl(B(v)); }),
    TextProp(32, "PrinterDeviceName", &P::PrinterDeviceName, "", 16,
             [](CLinvoCtrl& c, const Value& v) { c.SetPrinterDeviceName(T(v)); }),
    BoolProp(33, "AutoHandshake", &P::AutoHandshake, TRUE, 10,
             [](CLinvoCtrl& c, const Value& v) { c.SetAutoHandshake(B(v)); }),
    LongProp(
        34, "SendDelayTime", &P::SendDelayTime, 0, 34,
        [](CLinvoCtrl& c, const Value& v) { c.SetSendDelayTime(L(v)); }, &kDelayKey),
    LongProp(
        35, "WriteFileTimeOut", &P::WriteFileTimeOut, 5000, 35,
        [](CLinvoCtrl& c, const Value& v) { c.SetWriteFileTimeOut(L(v)); }, &kTimeOutKey),
    LongProp(
        36, "LogFlag", &P::LogFlag, 0, 36,
        [](CLinvoCtrl& c, const Value& v) { c.SetLogFlag(L(v)); }, &kLoggingKey),
    TextProp(
        37, "LogFileFolder", &P::LogFileFolder, ".\\Linvo_%03d.log", 37,
        [](CLinvoCtrl& c, const Value& v) { c.SetLogFileFolder(T(v)); }, nullptr, &kLogFileKey),

    Method(38, "lvoOpenPort", VarType::kLong, {}, 0,
           [](CLinvoCtrl& c, A) -> Value { return c.lvoOpenPort(); }),
    Method(39, "lvoClosePort", VarType::kLong, {}, 0,
           [](CLinvoCtrl& c, A) -> Value { return c.lvoClosePort(); }),
    Method(40, "lvoSendCommandRR", VarType::kLong, {Long("iRecMode"), Long("lBusyTimeOut")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendCommandRR(L(a[0]), L(a[1])); }),
    Method(41, "lvoSendCommand", VarType::kLong, {}, 0,
           [](CLinvoCtrl& c, A) -> Value { return c.lvoSendCommand(); }),
    Method(42, "lvoReceiveResponse", VarType::kLong, {Long("iRecMode"), Long("lBusyTimeOut")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoReceiveResponse(L(a[0]), L(a[1])); }),
    Method(43, "lvoSendDataBCCRR", VarType::kLong, {Long("lResponseMode"), Long("lRetryCount")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendDataBCCRR(L(a[0]), L(a[1])); }),
    Method(44, "lvoSendData", VarType::kLong,
           {Long("lACKCheck"), Long("lRetryCount"), Long("lStxEtxBcc")}, 3,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendData(L(a[0]), L(a[1]), L(a[2])); }),
    Method(45, "lvoReceiveData", VarType::kLong,
           {Long("lResponseMode"), Long("lACKResponse"), Long("lStxEtxBcc")}, 3,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoReceiveData(L(a[0]), L(a[1]), L(a[2])); }),
    Method(46, "lvoReceiveDataHF", VarType::kLong, {Long("lResponseMode"), Long("lACKJudge")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoReceiveDataHF(L(a[0]), L(a[1])); }),
    Method(47, "lvoComBufferClear", VarType::kLong, {Long("lTxRxFlag")}, 1,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoComBufferClear(L(a[0])); }),
    Method(48, "lvoSendBinaryCommandRR", VarType::kLong,
           {Long("lResponseMode"), Long("lRetryCount")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendBinaryCommandRR(L(a[0]), L(a[1])); }),
    Method(49, "lvoSendBinaryCommand", VarType::kLong, {Long("lRetryCount")}, 1,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendBinaryCommand(L(a[0])); }),
    Method(50, "lvoReceiveBinaryReport", VarType::kLong,
           {Long("lResponseMode"), Long("lRetryCount")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoReceiveBinaryReport(L(a[0]), L(a[1])); }),
    Method(51, "lvoSendBinaryData", VarType::kLong, {}, 0,
           [](CLinvoCtrl& c, A) -> Value { return c.lvoSendBinaryData(); }),
    Method(52, "lvoReceiveBinaryData", VarType::kLong, {}, 0,
           [](CLinvoCtrl& c, A) -> Value { return c.lvoReceiveBinaryData(); }),
    Method(53, "lvoPrintJobClear", VarType::kLong, {}, 0,
           [](CLinvoCtrl& c, A) -> Value { return c.lvoPrintJobClear(); }),
    Method(54, "lvoSendDataHFRR", VarType::kLong, {Long("lResponseMode"), Long("lACKJudge")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoSendDataHFRR(L(a[0]), L(a[1])); }),
    Method(55, "lvoResPropertyClear", VarType::kVoid, {}, 0,
           [](CLinvoCtrl& c, A) -> Value {
             c.lvoResPropertyClear();
             return std::monostate{};
           }),
    Method(56, "lvoCharAscHConv", VarType::kText, {Long("lConvMode"), Text("csQConvStr")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoCharAscHConv(L(a[0]), T(a[1])); }),
    Method(57, "lvoDataSumCalc", VarType::kText, {Text("csQSumStr")}, 1,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoDataSumCalc(T(a[0])); }),
    Method(58, "lvoJISconvSJIS", VarType::kText, {Long("lJConvMode"), Text("csQJConvStr")}, 2,
           [](CLinvoCtrl& c, A a) -> Value { return c.lvoJISconvSJIS(L(a[0]), T(a[1])); }),
};

constexpr EventInfo kEvents[] = {
    {1, "lvoCommEvent", "lEvent", &LinvoEvents::lvoCommEvent},
    {2, "lvoReceiveResponseEvent", "lResponse", &LinvoEvents::lvoReceiveResponseEvent},
    {3, "lvoReceiveBinaryReportEvent", "lBinaryReport", &LinvoEvents::lvoReceiveBinaryReportEvent},
    {4, "lvoReceiveDataBCCEvent", "lResponse", &LinvoEvents::lvoReceiveDataBCCEvent},
    {5, "lvoReceiveDataHFEvent", "lResponse", &LinvoEvents::lvoReceiveDataHFEvent},
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
static_assert(std::size(kMembers) == 58 && std::size(kEvents) == 5);
static_assert(DispidsInOrder(), "DISPID n is element n - 1");
static_assert(PropertiesWellFormed(), "37 properties, each with its field, put and exchange slot");

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

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
    if (SameName(m.name, name)) return &m;
  }
  return nullptr;
}

const EventInfo* FindEvent(int32_t dispid) {
  if (dispid < 1 || dispid > static_cast<int32_t>(std::size(kEvents))) return nullptr;
  return &kEvents[dispid - 1];
}

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
