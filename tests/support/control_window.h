// A stand-in for the control's window: receives the notifications a port forwards, keeps a copy
// of each and frees the record as the control does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message.h"

namespace linvo::test {

struct Notification {
  uint32_t message = 0;  // WM_PORT_*
  uint32_t bit = 0;
  uint16_t kind = 0;
  uint32_t inQueue = 0;
  bool hasData = false;
  std::string data;         // pData with nDataLen bytes
  bool terminated = false;  // pData[nDataLen] == 0
  bool hasData2 = false;
  std::string data2;
};

class ControlWindow {
 public:
  // Creates the window on the calling thread and registers it for the port number.
  explicit ControlWindow(int portNo);
  ~ControlWindow();

  // Pumps the calling thread's messages until `count` notifications arrived or timeoutMs passed.
  bool WaitFor(std::size_t count, int timeoutMs = 2000);
  // Pumps for timeoutMs whatever arrives.
  void PumpFor(int timeoutMs);

  std::vector<Notification> received;

 private:
  int m_portNo;
  platform::WindowHandle m_window;
};

}  // namespace linvo::test
