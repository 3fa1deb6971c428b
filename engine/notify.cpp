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

void SetControlWindow(int portNo, platform::WindowHandle window) {
  if (portNo >= 1 && portNo <= 256) g_controlWindows[portNo].store(window);
}

platform::WindowHandle ControlWindow(int portNo) {
  return portNo >= 1 && portNo <= 256 ? g_controlWindows[portNo].load() : 0;
}

}  // namespace linvo::engine
