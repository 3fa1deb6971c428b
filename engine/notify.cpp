#include "engine/notify.h"

#include <array>
#include <atomic>

namespace linvo::engine {
namespace {

std::array<std::atomic<platform::WindowHandle>, 257> g_controlWindows{};

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
  const bool response = kind == THREADTYPE_RESPONSE;
  switch (code) {
    case kResponseA:
      return 0x0001;
    case kResponseR:
      return response ? 0x0002 : 0;
    case kResponseB:
      return response ? 0x0004 : 0;
    case kCancelled:
      return 0x0008;
    case kTimeout:
      return 0x0100;
    case kCtsTimeout:
      return 0x0200;
    case kDsrError:
      return 0x0400;
    case kBusyTimeout:
      return response ? 0x4000 : 0;
    case kBccError:
      return 0x0800;
    case kSendError:
      return 0x1000;
    case kReceiveError:
      return 0x2000;
    default:
      return 0;
  }
}

void SetControlWindow(int portNo, platform::WindowHandle window) {
  if (portNo >= 1 && portNo <= 256) g_controlWindows[portNo].store(window);
}

platform::WindowHandle ControlWindow(int portNo) {
  return portNo >= 1 && portNo <= 256 ? g_controlWindows[portNo].load() : 0;
}

}  // namespace linvo::engine
