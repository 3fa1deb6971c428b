// CLinvoCtrl: the notifications the port forwards to the control's window, turned into result
// properties and events.
#include <algorithm>
#include <memory>
#include <optional>

#include "control/linvo_ctrl.h"
#include "control/text_conversion.h"
#include "engine/notify.h"

namespace linvo::control {
namespace {

using engine::NotifyRecord;

struct RecordDeleter {
  void operator()(NotifyRecord* record) const { engine::FreeNotifyRecord(record); }
};
using RecordPtr = std::unique_ptr<NotifyRecord, RecordDeleter>;

// The bytes of a data block: the first `length` bytes (none when the block is absent).
std::string Block(const uint8_t* data, int16_t length) {
  if (data == nullptr || length <= 0) return {};
  return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}

}  // namespace

std::intptr_t CLinvoCtrl::OnMessage(uint32_t msg, platform::WParam w, platform::LParam l) {
  void (LinvoEvents::*event)(int32_t) = nullptr;
  std::optional<int32_t> argument;
  const auto bit = static_cast<uint32_t>(l);
  {
    // The record is this control's from here on; it is freed on every path.
    RecordPtr record(reinterpret_cast<NotifyRecord*>(w));
    switch (msg) {
      case engine::WM_PORT_COMM:
        event = &LinvoEvents::lvoCommEvent;
        if (const uint32_t masked = static_cast<uint32_t>(m_props.EventMask) & bit) {
          argument = static_cast<int32_t>(masked);
        }
        break;
      case engine::WM_PORT_RESPONSE:
        event = &LinvoEvents::lvoReceiveResponseEvent;
        argument = TakeResponse(record.get(), bit);
        break;
      case engine::WM_PORT_BINARY:
        event = &LinvoEvents::lvoReceiveBinaryReportEvent;
        argument = TakeBinaryReport(record.get(), bit);
        break;
      case engine::WM_PORT_BCC:
        event = &LinvoEvents::lvoReceiveDataBCCEvent;
        argument = TakeDataBCC(record.get(), bit);
        break;
      case engine::WM_PORT_HF:
        event = &LinvoEvents::lvoReceiveDataHFEvent;
        argument = TakeDataHF(record.get(), bit);
        break;
      default:
        (void)record.release();  // not a notification: w is no record of ours
        return 0;
    }
  }
  // The background operation has ended for the host; a line event leaves the flag alone.
  if (msg != engine::WM_PORT_COMM) m_props.CancelFlag = FALSE;
  if (argument) Fire(event, *argument);
  return 0;
}

int32_t CLinvoCtrl::TakeResponse(const NotifyRecord* record, uint32_t bit) {
  const std::string block = record ? Block(record->pData, record->nDataLen) : std::string();
  const engine::ResponseFields fields = engine::SplitResponse(block);
  const bool data = bit == engine::kEventResponseA || bit == engine::kEventResponseR;
  const bool sense = bit == engine::kEventResponseR;
  m_props.PollCmdComSts = data ? fields.status : "";
  m_props.PollCmdErr = data && !sense ? fields.code : "";
  m_props.PollCmdSen = sense ? fields.code : "";
  m_props.PollCmdResData = data ? fields.data : "";
  return engine::EventBitToResult(bit).value_or(0);
}

int32_t CLinvoCtrl::TakeBinaryReport(const NotifyRecord* record, uint32_t bit) {
  m_props.ReceiveData.clear();
  m_props.ReceiveDataLen = 0;
  if (bit == engine::kEventResponseA) {
    const std::string block = record ? Block(record->pData, record->nDataLen) : std::string();
    m_props.ReceiveData = CharAscHConv(0, block);
    m_props.ReceiveDataLen = static_cast<int32_t>(block.size());
    return 0;
  }
  // Outcomes a binary report cannot have (a response's) give 30.
  const std::optional<int32_t> code = engine::EventBitToResult(bit);
  const bool responseOnly = bit == engine::kEventResponseR || bit == engine::kEventResponseB ||
                            bit == engine::kEventBusyTimeout;
  if (!code || responseOnly) return 30;
  return *code;
}

// The failures of a data receive: every outcome but data (and but the response letters and the
// busy time-out, which it cannot have).
constexpr uint32_t kDataErrorBits = engine::kEventResponseB | engine::kEventCancelled |
                                    engine::kEventTimeout | engine::kEventCtsTimeout |
                                    engine::kEventDsrError | engine::kEventSendError |
                                    engine::kEventReceiveError;

int32_t CLinvoCtrl::TakeDataBCC(const NotifyRecord* record, uint32_t bit) {
  // A block with a bad check is a failure here; an HF reply delivers it with 120.
  static constexpr uint32_t kErrorBits = kDataErrorBits | engine::kEventBccError;
  m_props.ReceiveData.clear();
  m_props.ReceiveDataLen = 0;
  if (const auto code = engine::EventBitToResult(bit); code && (bit & kErrorBits)) return *code;
  const std::string block = record ? Block(record->pData, record->nDataLen) : std::string();
  m_props.ReceiveData = block.substr(0, block.find('\0'));
  m_props.ReceiveDataLen = record && record->pData ? record->nDataLen : 0;
  return 0;
}

int32_t CLinvoCtrl::TakeDataHF(const NotifyRecord* record, uint32_t bit) {
  const auto set = [this](const std::string& block) {
    const engine::HFFields fields = engine::SplitHF(block);
    m_props.HFReceiveReserve = fields.reserve;
    m_props.HFReceiveResp = fields.response;
    m_props.HFReceiveStat = fields.status;
    m_props.HFReceiveData = fields.data;
    m_props.HFReceiveDataLen = static_cast<int32_t>(m_props.HFReceiveData.size());
  };
  if (const auto code = engine::EventBitToResult(bit); code && (bit & kDataErrorBits)) {
    set("");
    return *code;
  }
  const int32_t code = bit == engine::kEventBccError ? engine::kBccError : 0;
  const bool first = record && record->nDataLen != 0;
  const bool second = record && record->nData2Len != 0;
  if (first) set(Block(record->pData, record->nDataLen));
  if (second) set(Block(record->pData2, record->nData2Len));
  if (!first && !second) set("");
  return code;
}

int CLinvoCtrl::Advise(EventSink* sink) {
  if (sink == nullptr) return 0;
  const int cookie = m_nextCookie++;
  m_sinks.emplace_back(cookie, sink);
  return cookie;
}

bool CLinvoCtrl::Unadvise(int cookie) {
  const auto it = std::find_if(m_sinks.begin(), m_sinks.end(),
                               [cookie](const auto& entry) { return entry.first == cookie; });
  if (it == m_sinks.end()) return false;
  m_sinks.erase(it);
  return true;
}

// Calls every connected sink; a sink disconnected by an earlier one during this event is not
// called, a sink connected during it first hears the next event.
void CLinvoCtrl::Fire(void (LinvoEvents::*event)(int32_t), int32_t argument) {
  const auto events = EventMembers();
  const auto info = std::find_if(events.begin(), events.end(),
                                 [event](const EventInfo& e) { return e.handler == event; });
  if (info == events.end()) return;
  const std::vector<std::pair<int, EventSink*>> snapshot = m_sinks;
  for (const auto& [cookie, sink] : snapshot) {
    const int id = cookie;  // a structured binding cannot be captured before C++20 compilers catch up
    const bool connected = std::any_of(m_sinks.begin(), m_sinks.end(),
                                       [id](const auto& entry) { return entry.first == id; });
    if (connected) sink->OnEvent(*info, argument);
  }
}

}  // namespace linvo::control
