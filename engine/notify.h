// Notification records, worker kinds, event bits, the control window table and the callback
// types of the background registrations.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/port_numbers.h"
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

// The event bits of background outcomes: one table of result code and bit, read both ways.
enum : uint32_t {
  kEventResponseA = 0x0001,  // also: data arrived, for the other kinds
  kEventResponseR = 0x0002,
  kEventResponseB = 0x0004,
  kEventCancelled = 0x0008,
  kEventTimeout = 0x0100,
  kEventCtsTimeout = 0x0200,
  kEventDsrError = 0x0400,
  kEventBccError = 0x0800,
  kEventSendError = 0x1000,
  kEventReceiveError = 0x2000,
  kEventBusyTimeout = 0x4000,
};
struct EventBitCode {
  uint32_t bit;
  Result code;
  bool responseOnly;  // only a response receive reports it
};
inline constexpr EventBitCode kEventBitCodes[] = {
    {kEventResponseA, kResponseA, false},    {kEventResponseR, kResponseR, true},
    {kEventResponseB, kResponseB, true},     {kEventCancelled, kCancelled, false},
    {kEventTimeout, kTimeout, false},        {kEventCtsTimeout, kCtsTimeout, false},
    {kEventDsrError, kDsrError, false},      {kEventBccError, kBccError, false},
    {kEventSendError, kSendError, false},    {kEventReceiveError, kReceiveError, false},
    {kEventBusyTimeout, kBusyTimeout, true},
};
// Every bit a background receive may post: what a host passes as the worker event mask.
inline constexpr uint32_t kWorkerEventMask = [] {
  uint32_t mask = 0;
  for (const EventBitCode& e : kEventBitCodes) mask |= e.bit;
  return mask;
}();

// The event bit that a worker of the kind reports for a failed step's result code (0: none).
uint32_t ResultToEventBit(uint16_t kind, Result code);
// The result code an event bit stands for; nothing for a bit that is not in the table.
std::optional<Result> EventBitToResult(uint32_t bit);

// The fields of a response and of an HF reply: the text between STX and ETX, which a response
// record (and an HF record) carries and a synchronous receive takes from its frame. A field that
// lies beyond the text is empty.
struct ResponseFields {
  std::string_view type;    // the status letter: "A", "R" or "B"
  std::string_view status;  // the communication status, two characters
  std::string_view code;    // the error or sense code, two characters
  std::string_view data;
};
struct HFFields {
  std::string_view reserve;   // one character
  std::string_view response;  // two characters
  std::string_view status;    // two characters
  std::string_view data;
};
ResponseFields SplitResponse(std::string_view text);
HFFields SplitHF(std::string_view text);

// The control window that receives a port's notifications (0: nobody; only valid port numbers).
void SetControlWindow(int portNo, platform::WindowHandle window);
platform::WindowHandle ControlWindow(int portNo);

// Callback types of the background registrations. They are stored and never called: whether one
// is given decides between starting (registering) and stopping (unregistering).
using ResponseCallback = long (*)(long, long, long, long);
using BinaryCallback = long (*)(long, long, long, long, long);
using CommCallback = long (*)(long, long, long, long);

}  // namespace linvo::engine
