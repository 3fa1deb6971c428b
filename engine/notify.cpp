#include "engine/notify.h"

#include <array>
#include <atomic>

namespace linvo::engine {
namespace {

std::array<std::atomic<platform::WindowHandle>, kMaxPortNo + 1> g_controlWindows{};

}  // namespace

void FreeNotifyRecord(NotifyRecord* record) {
  if (record == nullptr) return;
  delete[] record->pData;
  delete[] record->pData2;
  delete record;
}

NotifyRecordPtr MakeNotifyRecord(uint16_t kind) {
  NotifyRecordPtr record(new NotifyRecord);
  record->nKind = kind;
  return record;
}

bool PostNotifyRecord(platform::WindowHandle window, uint32_t message, NotifyRecordPtr record,
                      uint32_t bit) {
  if (!platform::PostWindowMessage(window, message,
                                   reinterpret_cast<platform::WParam>(record.get()),
                                   static_cast<platform::LParam>(bit))) {
    return false;
  }
  (void)record.release();  // the message owns it now
  return true;
}

uint32_t ResultToEventBit(uint16_t kind, Result code) {
  if (kind == THREADTYPE_COMM) return 0;
  for (const EventBitCode& e : kEventBitCodes) {
    if (e.code == code) return e.responseOnly && kind != THREADTYPE_RESPONSE ? 0 : e.bit;
  }
  return 0;
}

std::optional<Result> EventBitToResult(uint32_t bit) {
  for (const EventBitCode& e : kEventBitCodes) {
    if (e.bit == bit) return e.code;
  }
  return std::nullopt;
}

namespace {

// Characters [pos, pos + count) of the text; what lies beyond it is empty.
std::string_view Field(std::string_view text, std::size_t pos,
                       std::size_t count = std::string_view::npos) {
  return pos < text.size() ? text.substr(pos, count) : std::string_view();
}

}  // namespace

ResponseFields SplitResponse(std::string_view text) {
  return {Field(text, 0, 1), Field(text, 1, 2), Field(text, 3, 2), Field(text, 5)};
}

HFFields SplitHF(std::string_view text) {
  return {Field(text, 0, 1), Field(text, 1, 2), Field(text, 3, 2), Field(text, 5)};
}

void SetControlWindow(int portNo, platform::WindowHandle window) {
  if (ValidPortNo(portNo)) g_controlWindows[portNo].store(window);
}

platform::WindowHandle ControlWindow(int portNo) {
  return ValidPortNo(portNo) ? g_controlWindows[portNo].load() : 0;
}

}  // namespace linvo::engine
