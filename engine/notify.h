// Notification records, worker kinds, event bits and the control window table.
#pragma once

#include <cstdint>

#include "platform/message.h"

namespace linvo::engine {

// One outcome of a background worker or one line event, posted with a single event bit. The
// record and its buffers are allocated with new / new[]; whoever holds it last frees it with
// FreeNotifyRecord.
struct NotifyRecord {
  uint8_t* pData = nullptr;   // data of the outcome, or null
  int16_t nDataLen = 0;       // bytes in pData (a terminating 0 byte is not counted)
  uint16_t nKind = 0;         // worker kind
  uint32_t dwInQueue = 0;     // data-arrived line event: bytes waiting at the event
  uint8_t* pData2 = nullptr;  // second part of a two-part HF reply, or null
  int16_t nData2Len = 0;
};

void FreeNotifyRecord(NotifyRecord* record);

// Worker kinds (also the record's nKind).
enum : uint16_t {
  THREADTYPE_RESPONSE = 1001,
  THREADTYPE_BINARY = 1002,
  THREADTYPE_COMM = 1003,
  THREADTYPE_BCC = 1004,
  THREADTYPE_HF = 1005,
};

// Messages forwarded to the control window of the port.
enum : uint32_t {
  WM_PORT_COMM = platform::kWmApp + 1,
  WM_PORT_RESPONSE = platform::kWmApp + 3,
  WM_PORT_BINARY = platform::kWmApp + 4,
  WM_PORT_BCC = platform::kWmApp + 5,
  WM_PORT_HF = platform::kWmApp + 6,
};

// The control window that receives a port's notifications (0: nobody). Port numbers 1..256.
void SetControlWindow(int portNo, platform::WindowHandle window);
platform::WindowHandle ControlWindow(int portNo);

}  // namespace linvo::engine
