// Result codes and the trace messages that go with them.
#pragma once

#include <cstdint>
#include <string>

namespace linvo::engine {

using Result = int16_t;

// Every operation reports its outcome as one of these; 0 is success.
enum : Result {
  kSuccess = 0,
  kStarted = 1,      // a background receive was started (control layer)
  kAck = 2,          // the device answered ACK
  kNak = 3,          // the device answered NAK
  kResponseA = 10,   // response with status letter "A"
  kResponseR = 11,   // response with status letter "R"
  kResponseB = 12,   // response with status letter "B"
  kCancelled = 20,   // a receive ended on a stop request
  kStateError = 30,  // refused by the port's state, or a platform call failed
  kParameterError = 100,
  kNotOpen = 101,  // not open, or could not be opened
  kTimeout = 110,
  kCtsTimeout = 111,
  kDsrError = 112,
  kBusyTimeout = 113,
  kBccError = 120,
  kBufferOver = 130,
  kPortBusy = 140,
  kSendError = 200,
  kReceiveError = 201,
};

// The error texts written with "ErrInfo " lines, each formatted with its code.
enum class Message {
  kAlreadyOpened,
  kAlreadyClosed,
  kNoReceiveData,
  kAlreadyRegistered,
  kThreadFailed,
  kParameterError,
  kParameterError1,
  kParameterError2,
  kParameterError3,
  kParameterError4,
  kParameterError5,
  kResponseTimerParameter,
  kBusyTimerParameter,
  kNotOpenedYet,
  kCannotBeOpened,
  kCancel,
  kNakResponse,
  kReadTimeout,       // receive primitives: ends with a full stop
  kOperationTimeout,  // data sends and binary operations: no full stop
  kCtsTimeout,
  kDsrTimeout,  // before a write
  kDsrError,    // during a receive
  kBusyTimeout,
  kBccRetryError,
  kBufferOver,
  kPortBusy,
  kThreadTypeBusy,  // takes the running worker's kind as a second value ("%x")
  kSend1,
  kSend2,
  kSend3,
  kReceive,
};

// The code that goes with the message.
Result CodeOf(Message message);

// The message text formatted with its code ("ErrorCode 101: Serial Port is not opened yet").
// kThreadTypeBusy also takes the running worker's kind.
std::string FormatResultMessage(Message message, int extra = 0);

// The trace text of a system error: its text and number ("Permission denied: /dev/ttyUSB0
// (system error 13)").
std::string FormatSystemError(int code, const std::string& text);

}  // namespace linvo::engine
