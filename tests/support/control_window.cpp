#include "support/control_window.h"

#include "engine/notify.h"
#include "platform/clock.h"

namespace linvo::test {

ControlWindow::ControlWindow(int portNo) : m_portNo(portNo) {
  m_window = platform::CreateMessageWindow(
      "test control",
      [this](uint32_t msg, platform::WParam w, platform::LParam l) -> std::intptr_t {
        const engine::NotifyRecordPtr record(reinterpret_cast<engine::NotifyRecord*>(w));
        Notification n;
        n.message = msg;
        n.bit = static_cast<uint32_t>(l);
        n.kind = record->nKind;
        n.inQueue = record->dwInQueue;
        if (record->pData != nullptr) {
          n.hasData = true;
          n.data.assign(reinterpret_cast<const char*>(record->pData),
                        static_cast<std::size_t>(record->nDataLen));
          // Text data carries a terminating 0 byte; a binary payload has none to read.
          n.terminated =
              record->nKind != engine::THREADTYPE_BINARY && record->pData[record->nDataLen] == 0;
        }
        if (record->pData2 != nullptr) {
          n.hasData2 = true;
          n.data2.assign(reinterpret_cast<const char*>(record->pData2),
                         static_cast<std::size_t>(record->nData2Len));
        }
        received.push_back(n);
        return 0;
      },
      [](uint32_t, platform::WParam w, platform::LParam) {
        const engine::NotifyRecordPtr dropped(reinterpret_cast<engine::NotifyRecord*>(w));
      });
  engine::SetControlWindow(portNo, m_window);
}

ControlWindow::~ControlWindow() {
  engine::SetControlWindow(m_portNo, 0);
  platform::DestroyMessageWindow(m_window);
}

bool ControlWindow::WaitFor(std::size_t count, int timeoutMs) {
  const uint32_t start = platform::TickCount();
  while (received.size() < count) {
    uint32_t elapsed = platform::TickCount() - start;
    if (elapsed >= static_cast<uint32_t>(timeoutMs)) return false;
    platform::PumpMessages(timeoutMs - static_cast<int>(elapsed));
  }
  return true;
}

void ControlWindow::PumpFor(int timeoutMs) {
  const uint32_t start = platform::TickCount();
  for (;;) {
    uint32_t elapsed = platform::TickCount() - start;
    if (elapsed >= static_cast<uint32_t>(timeoutMs)) return;
    platform::PumpMessages(timeoutMs - static_cast<int>(elapsed));
  }
}

}  // namespace linvo::test
