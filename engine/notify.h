// Notification records, worker kinds, event bits, the control window table and the callback
// types of the background registrations.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/result_codes.h"
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

struct NotifyRecordDeleter {
  void operator()(NotifyRecord* record) const { FreeNotifyRecord(record); }
};
// A record owned by the thread that holds it; a successful post passes it on.
using NotifyRecordPtr = std::unique_ptr<NotifyRecord, NotifyRecordDeleter>;

// A new empty record of the kind.
NotifyRecordPtr MakeNotifyRecord(uint16_t kind);
// Posts the record with the bit; the message owns it when the post succeeds (true), else it is
// freed here.
bool PostNotifyRecord(platform::WindowHandle window, uint32_t message, NotifyRecordPtr record,
                      uint32_t bit);

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

// The event bit that a worker of the kind reports for a failed step's result code (0: none).
uint32_t ResultToEventBit(uint16_t kind, Result code);

// The control window that receives a port's notifications (0: nobody). Port numbers 1..256.
void SetControlWindow(int portNo, platform::WindowHandle window);
platform::WindowHandle ControlWindow(int portNo);

// Callback types of the background registrations. They are stored and never called: whether one
// is given decides between starting (registering) and stopping (unregistering).
using ResponseCallback = long (*)(long, long, long, long);
using BinaryCallback = long (*)(long, long, long, long, long);
using CommCallback = long (*)(long, long, long, long);

}  // namespace linvo::engine
