// CLinvoCtrl: construction, destruction and the methods.
#include "control/linvo_ctrl.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "control/print_jobs.h"
#include "control/text_conversion.h"
#include "engine/notify.h"
#include "portapi/entry_functions.h"

namespace linvo::control {
namespace {

namespace api = linvo::portapi;
using engine::Bracket;
using engine::Caller;

// The bits a background receive may post (every outcome of a worker).
// What the binary receives ask the port object to respect.
constexpr int32_t kBinaryCapacity = 4097;
// The binary methods read at most this many characters of SendData.
constexpr std::size_t kMaxHexText = 4096;

// The entry functions need callbacks to mark a registration; completions come as messages.
long CommCallback(long, long, long, long) { return 0; }
long BinaryCallback(long, long, long, long, long) { return 0; }

// The first two characters of a text (all of it when shorter).
std::string FirstTwo(const std::string& text) { return text.substr(0, 2); }

// SendData of a text command: the first two characters are the command code, the rest the
// parameter text.
struct Command {
  std::string code;
  std::string parameter;
};
Command SplitCommand(const std::string& sendData) {
  if (sendData.size() < 2) return {sendData, ""};
  return {sendData.substr(0, 2), sendData.substr(2)};
}

// Bytes of the hexadecimal text in SendData: pair i is characters 2i and 2i+1 read as "%2x"
// would read them (white space skipped, up to two digits of either case); a pair that is not
// hexadecimal gives 0. A last odd character is ignored; at most 4096 characters are used.
std::vector<uint8_t> HexToBytes(const std::string& text) {
  const std::size_t used = std::min(text.size(), kMaxHexText);
  std::vector<uint8_t> bytes(used / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
    unsigned int value = 0;
    if (std::sscanf(pair, "%2x", &value) != 1) value = 0;
    bytes[i] = static_cast<uint8_t>(value);
  }
  return bytes;
}

// The text the engine delivered, up to its first zero byte.
std::string UpToZero(const std::string& text) { return text.substr(0, text.find('\0')); }

int32_t Length(const std::string& text) { return static_cast<int32_t>(text.size()); }

// 1 when a background start succeeded, else its code.
int32_t Started(engine::Result code) {
  return code == engine::kSuccess ? int32_t{engine::kStarted} : int32_t{code};
}

}  // namespace

CLinvoCtrl::CLinvoCtrl() {
  m_window = platform::CreateMessageWindow(
      "LinvoCtrl",
      [this](uint32_t msg, platform::WParam w, platform::LParam l) { return OnMessage(msg, w, l); },
      [](uint32_t, platform::WParam w, platform::LParam) {
        engine::FreeNotifyRecord(reinterpret_cast<engine::NotifyRecord*>(w));
      });
  InitNew();
}

// Closes every port this control opened and has not closed: PortNo's first, as the control's own
// close does, then any other (a property exchange forgets that the port is open, and a later
// PortNo may name another port).
CLinvoCtrl::~CLinvoCtrl() {
  if (!NotOpen()) {
    if (api::ClosePort("lvoClosePort", Port()) == engine::kSuccess) {
      SetPortOpen(m_props.PortNo, false);
    }
  }
  for (int32_t port = 1; port <= api::kMaxPortNo; ++port) {
    if (m_opened[port]) api::ClosePort("lvoClosePort", port);
  }
  platform::DestroyMessageWindow(m_window);
}

int32_t CLinvoCtrl::Port() const { return api::ValidPortNo(m_props.PortNo) ? m_props.PortNo : 0; }

bool CLinvoCtrl::IsPortOpen(int32_t portNo) const {
  return api::ValidPortNo(portNo) && m_portOpen[portNo];
}

void CLinvoCtrl::SetPortOpen(int32_t portNo, bool open) {
  if (!api::ValidPortNo(portNo)) return;
  m_portOpen[portNo] = open;
  m_opened[portNo] = open;
}

void CLinvoCtrl::lvoResPropertyClear() {
  for (std::string* text :
       {&m_props.ReceiveData, &m_props.PollCmdComSts, &m_props.PollCmdSen, &m_props.PollCmdErr,
        &m_props.PollCmdResData, &m_props.HFReceiveReserve, &m_props.HFReceiveResp,
        &m_props.HFReceiveStat, &m_props.HFReceiveData}) {
    text->clear();
  }
  m_props.ReceiveDataLen = 0;
  m_props.HFReceiveDataLen = 0;
}

int32_t CLinvoCtrl::lvoOpenPort() {
  const int32_t port = Port();
  // The slot names this control before the open is tried, and stays so when it fails.
  engine::SetControlWindow(port, m_window);
  const engine::Result opened = api::OpenPort(
      "lvoOpenPort", port, m_props.BaudRate, m_props.DataBit.c_str(), m_props.Parity.c_str(),
      m_props.TXBufferSize, m_props.RXBufferSize, m_props.AutoHandshake);
  if (opened != engine::kSuccess) return opened;
  const std::string status = ReadCommStatus();
  // Only the properties follow the line's state here; nothing is sent to the line.
  if (status[0] == '1') m_props.DTRLineControl = TRUE;
  if (status[1] == '1') m_props.RTSLineControl = TRUE;
  m_props.BreakControl = FALSE;
  const int32_t watched = RegisterCommWatcher(port, m_props.EventMask);
  if (watched == engine::kSuccess) {
    SetPortOpen(port, true);
    return engine::kSuccess;
  }
  // The port counts as open for the close, which clears the flag again when it succeeds.
  SetPortOpen(port, true);
  lvoClosePort();
  return watched;
}

int32_t CLinvoCtrl::RegisterCommWatcher(int32_t portNo, int32_t eventMask) {
  return api::WatchCommEvents("lvoOpenPort", portNo, CommCallback, 0,
                              static_cast<uint32_t>(eventMask));
}

int32_t CLinvoCtrl::lvoClosePort() {
  const engine::Result code = api::ClosePort("lvoClosePort", Port());
  if (code == engine::kSuccess) SetPortOpen(m_props.PortNo, false);
  return code;
}

void CLinvoCtrl::ApplyResponse(int32_t code, const std::string& status, const std::string& codeText,
                               const std::string& data) {
  if (code != engine::kResponseA && code != engine::kResponseR && code != engine::kResponseB) {
    return;
  }
  m_props.PollCmdComSts = FirstTwo(status);
  const bool sense = code == engine::kResponseR;
  m_props.PollCmdSen = sense ? FirstTwo(codeText) : "";
  m_props.PollCmdErr = sense ? "" : FirstTwo(codeText);
  m_props.PollCmdResData = data;
}

int32_t CLinvoCtrl::lvoSendCommandRR(int32_t iRecMode, int32_t lBusyTimeOut) {
  lvoResPropertyClear();
  const Command command = SplitCommand(m_props.SendData);
  const int32_t port = Port();
  if (iRecMode == 0 || iRecMode == 1) {
    std::string status, code, data;
    const engine::Result r =
        api::SendCommandRR("lvoSendCommandRR", port, iRecMode, m_props.ACKTimer, lBusyTimeOut,
                           DsrFlag(), command.code.c_str(), command.parameter.c_str(),
                           Length(command.parameter), &status, &code, &data);
    ApplyResponse(r, status, code, data);
    return r;
  }
  const engine::Result sent = api::SendCommand(
      Caller{"lvoSendCommandRR", Bracket::kOpens}, port, m_props.ACKTimer, DsrFlag(),
      command.code.c_str(), command.parameter.c_str(), Length(command.parameter));
  if (sent != engine::kAck) return sent;
  return Started(api::ReceiveResponseAsync(Caller{"lvoSendCommandRR", Bracket::kCloses}, port,
                                           m_props.ResponseTimer, lBusyTimeOut, DsrFlag()));
}

int32_t CLinvoCtrl::lvoSendCommand() {
  lvoResPropertyClear();
  const Command command = SplitCommand(m_props.SendData);
  return api::SendCommand("lvoSendCommand", Port(), m_props.ACKTimer, DsrFlag(),
                          command.code.c_str(), command.parameter.c_str(),
                          Length(command.parameter));
}

int32_t CLinvoCtrl::lvoReceiveResponse(int32_t iRecMode, int32_t lBusyTimeOut) {
  const int32_t port = Port();
  if (iRecMode == 0 || iRecMode == 1) {
    std::string status, code, data;
    const engine::Result r =
        api::ReceiveResponse("lvoReceiveResponse", port, iRecMode, m_props.ResponseTimer,
                             lBusyTimeOut, DsrFlag(), &status, &code, &data);
    ApplyResponse(r, status, code, data);
    return r;
  }
  return Started(api::ReceiveResponseAsync("lvoReceiveResponse", port, m_props.ResponseTimer,
                                           lBusyTimeOut, DsrFlag()));
}

int32_t CLinvoCtrl::lvoSendDataBCCRR(int32_t lResponseMode, int32_t lRetryCount) {
  lvoResPropertyClear();
  const int32_t port = Port();
  const std::string& data = m_props.SendData;
  if (lResponseMode == 0) {
    std::string reply;
    int16_t replyLength = 0;
    const engine::Result r =
        api::SendDataBCC("lvoSendDataBCCRR", port, lRetryCount, m_props.ACKTimer, DsrFlag(),
                         data.c_str(), Length(data), &reply, &replyLength);
    if (r == engine::kSuccess) {
      m_props.ReceiveData = UpToZero(reply);
      m_props.ReceiveDataLen = replyLength;
    }
    return r;
  }
  const engine::Result sent =
      api::SendDataFramed(Caller{"lvoSendDataBCCRR", Bracket::kOpens}, port, 1, lRetryCount,
                          m_props.ACKTimer, DsrFlag(), data.c_str(), Length(data));
  if (sent != engine::kSuccess) return sent;
  // The background receive of this method is timed by the ACK timer.
  return Started(api::ReceiveDataAsync(Caller{"lvoSendDataBCCRR", Bracket::kCloses}, port, 1,
                                       m_props.ACKTimer, DsrFlag(), engine::kWorkerEventMask));
}

int32_t CLinvoCtrl::lvoSendData(int32_t lACKCheck, int32_t lRetryCount, int32_t lStxEtxBcc) {
  char caller[64];
  std::snprintf(caller, sizeof caller, "lvoSendData(%d,%d)", lACKCheck, lStxEtxBcc);
  lvoResPropertyClear();
  const int32_t port = Port();
  const std::string& data = m_props.SendData;
  if (lStxEtxBcc != 0) {
    return api::SendDataFramed(caller, port, lACKCheck, lRetryCount, m_props.ACKTimer, DsrFlag(),
                               data.c_str(), Length(data));
  }
  if (lACKCheck != 0) {
    return api::SendDataAck(caller, port, lRetryCount, m_props.ACKTimer, DsrFlag(), data.c_str(),
                            Length(data));
  }
  return api::SendDataNoAck(caller, port, m_props.ACKTimer, DsrFlag(), data.c_str(), Length(data));
}

int32_t CLinvoCtrl::lvoReceiveData(int32_t lResponseMode, int32_t lACKResponse,
                                   int32_t lStxEtxBcc) {
  char caller[64];
  std::snprintf(caller, sizeof caller, "lvoReceiveData(%d,%d,%d)", lResponseMode, lACKResponse,
                lStxEtxBcc);
  const int32_t port = Port();
  if (lResponseMode != 0) {
    // The start writes its opening lines only for its own bare name, which this formatted name
    // never is: the bracket has its closing lines only.
    return Started(api::ReceiveDataAsync(Caller{caller, Bracket::kCloses}, port, lACKResponse,
                                         m_props.ResponseTimer, DsrFlag(),
                                         engine::kWorkerEventMask));
  }
  std::string data;
  int16_t length = 0;
  engine::Result r;
  bool take;
  if (lStxEtxBcc != 0) {
    r = api::ReceiveDataFramed(caller, port, lACKResponse, m_props.ResponseTimer, DsrFlag(), &data,
                               &length);
    take = r == engine::kSuccess || r == engine::kBccError;
  } else {
    r = api::ReceiveDataPlain(caller, port, DsrFlag(), &data, &length);
    take = r == engine::kSuccess;
  }
  if (take) {
    m_props.ReceiveData = UpToZero(data);
    m_props.ReceiveDataLen = length;
  }
  return r;
}

namespace {

// The eight out values of an HF receive.
struct HFReply {
  std::string reserve, response, status, reserve2, response2, status2, data;
  int16_t length = 0;
};

engine::Result ReceiveHF(Caller caller, int32_t port, int32_t ackJudge, int32_t timer, int32_t dsr,
                         HFReply* r) {
  return api::ReceiveDataHF(caller, port, ackJudge, timer, dsr, &r->reserve, &r->response,
                            &r->status, &r->reserve2, &r->response2, &r->status2, &r->data,
                            &r->length);
}

// HF placement: the second frame of a two-part reply wins when its response code is not
// empty.
void ApplyHF(const HFReply& r, ControlProperties& p) {
  const bool second = !r.response2.empty();
  p.HFReceiveReserve = second ? r.reserve2 : r.reserve;
  p.HFReceiveResp = second ? r.response2 : r.response;
  p.HFReceiveStat = second ? r.status2 : r.status;
  p.HFReceiveData = UpToZero(r.data);
  p.HFReceiveDataLen = r.length;
}

}  // namespace

int32_t CLinvoCtrl::lvoReceiveDataHF(int32_t lResponseMode, int32_t lACKJudge) {
  const int32_t port = Port();
  if (lResponseMode != 0) {
    return Started(api::ReceiveDataHFAsync("lvoReceiveDataHF", port, lACKJudge,
                                           m_props.ResponseTimer, DsrFlag(),
                                           engine::kWorkerEventMask));
  }
  HFReply reply;
  const engine::Result r =
      ReceiveHF("lvoReceiveDataHF", port, lACKJudge, m_props.ResponseTimer, DsrFlag(), &reply);
  if (r == engine::kSuccess || r == engine::kBccError) ApplyHF(reply, m_props);
  return r;
}

int32_t CLinvoCtrl::lvoSendDataHFRR(int32_t lResponseMode, int32_t lACKJudge) {
  lvoResPropertyClear();
  const int32_t port = Port();
  const std::string& data = m_props.SendData;
  const engine::Result sent =
      api::SendDataFramed(Caller{"lvoSendDataHFRR", Bracket::kOpens}, port, 0, 0, m_props.ACKTimer,
                          DsrFlag(), data.c_str(), Length(data));
  if (sent != engine::kSuccess) return sent;
  const Caller closing{"lvoSendDataHFRR", Bracket::kCloses};
  if (lResponseMode != 0) {
    return Started(api::ReceiveDataHFAsync(closing, port, lACKJudge, m_props.ResponseTimer,
                                           DsrFlag(), engine::kWorkerEventMask));
  }
  HFReply reply;
  const engine::Result r =
      ReceiveHF(closing, port, lACKJudge, m_props.ResponseTimer, DsrFlag(), &reply);
  if (r == engine::kSuccess) ApplyHF(reply, m_props);
  return r;
}

int32_t CLinvoCtrl::lvoComBufferClear(int32_t lTxRxFlag) {
  const int32_t port = Port();
  switch (lTxRxFlag) {
    case 0: {
      const engine::Result purged =
          api::PurgeBuffers(Caller{"lvoComBufferClear(0)", Bracket::kOpens}, port);
      if (purged != engine::kSuccess) return purged;
      return api::ComBufferClear(Caller{"lvoComBufferClear(0)", Bracket::kCloses}, port);
    }
    case 1:
      return api::PurgeBuffers("lvoComBufferClear(1)", port);
    case 2:
      return api::ComBufferClear("lvoComBufferClear(2)", port);
    default:
      return engine::kParameterError;
  }
}

void CLinvoCtrl::ApplyBinaryResult(int32_t code, const std::vector<uint8_t>& buffer,
                                   int16_t length) {
  if (code != engine::kSuccess || length <= 0) {
    m_props.ReceiveData.clear();
    m_props.ReceiveDataLen = code == engine::kSuccess ? length : 0;
    return;
  }
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), buffer.size());
  m_props.ReceiveData =
      CharAscHConv(0, std::string_view(reinterpret_cast<const char*>(buffer.data()), n));
  m_props.ReceiveDataLen = length;
}

int32_t CLinvoCtrl::lvoSendBinaryCommandRR(int32_t lResponseMode, int32_t lRetryCount) {
  lvoResPropertyClear();
  const std::vector<uint8_t> bytes = HexToBytes(m_props.SendData);
  const int32_t count = static_cast<int32_t>(bytes.size());
  const int32_t port = Port();
  if (lResponseMode == 0) {
    std::vector<uint8_t> buffer(kBinaryCapacity);
    int16_t length = 0;
    const engine::Result r = api::SendBinaryCommandRR(
        "lvoSendBinaryCommandRR", port, m_props.ACKTimer, lRetryCount, DsrFlag(), CtsFlag(),
        bytes.data(), count, m_props.ResponseTimer, buffer.data(), kBinaryCapacity, &length);
    ApplyBinaryResult(r, buffer, length);
    return r;
  }
  const engine::Result sent = api::SendBinaryCommand(
      Caller{"lvoSendBinaryCommandRR", Bracket::kOpens}, port, m_props.ACKTimer, lRetryCount,
      DsrFlag(), CtsFlag(), bytes.data(), count);
  if (sent != engine::kAck) return sent;
  return Started(api::ReceiveBinaryReportAsync(Caller{"lvoSendBinaryCommandRR", Bracket::kCloses},
                                               port, static_cast<int16_t>(m_props.ResponseTimer),
                                               BinaryCallback, 0, engine::kWorkerEventMask));
}

int32_t CLinvoCtrl::lvoSendBinaryCommand(int32_t lRetryCount) {
  lvoResPropertyClear();
  const std::vector<uint8_t> bytes = HexToBytes(m_props.SendData);
  return api::SendBinaryCommand("lvoSendBinaryCommand", Port(), m_props.ACKTimer, lRetryCount,
                                DsrFlag(), CtsFlag(), bytes.data(),
                                static_cast<int32_t>(bytes.size()));
}

int32_t CLinvoCtrl::lvoReceiveBinaryReport(int32_t lResponseMode, int32_t lRetryCount) {
  const int32_t port = Port();
  if (lResponseMode == 0) {
    std::vector<uint8_t> buffer(kBinaryCapacity);
    int16_t length = 0;
    const engine::Result r =
        api::ReceiveBinaryReport("lvoReceiveBinaryReport", port, m_props.ResponseTimer, lRetryCount,
                                 DsrFlag(), CtsFlag(), buffer.data(), kBinaryCapacity, &length);
    ApplyBinaryResult(r, buffer, length);
    return r;
  }
  return Started(api::ReceiveBinaryReportAsync("lvoReceiveBinaryReport", port,
                                               static_cast<int16_t>(m_props.ResponseTimer),
                                               BinaryCallback, 0, engine::kWorkerEventMask));
}

int32_t CLinvoCtrl::lvoSendBinaryData() {
  lvoResPropertyClear();
  const std::vector<uint8_t> bytes = HexToBytes(m_props.SendData);
  return api::SendBinaryData("lvoSendBinaryData", Port(), m_props.ACKTimer, DsrFlag(), CtsFlag(),
                             bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t CLinvoCtrl::lvoReceiveBinaryData() {
  std::vector<uint8_t> buffer(kBinaryCapacity);
  int16_t length = 0;
  const engine::Result r =
      api::ReceiveBinaryData("lvoReceiveBinaryData", Port(), m_props.ResponseTimer, DsrFlag(),
                             buffer.data(), kBinaryCapacity, &length);
  ApplyBinaryResult(r, buffer, length);
  return r;
}

int32_t CLinvoCtrl::lvoPrintJobClear() {
  return PrintJobClear(m_props.PrinterDeviceName, &m_printJobError);
}

std::string CLinvoCtrl::lvoCharAscHConv(int32_t lConvMode, const std::string& csQConvStr) {
  return CharAscHConv(lConvMode, csQConvStr);
}

std::string CLinvoCtrl::lvoDataSumCalc(const std::string& csQSumStr) {
  return DataSumCalc(csQSumStr);
}

std::string CLinvoCtrl::lvoJISconvSJIS(int32_t lJConvMode, const std::string& csQJConvStr) {
  return JISconvSJIS(lJConvMode, csQJConvStr);
}

}  // namespace linvo::control
