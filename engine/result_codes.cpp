#include "engine/result_codes.h"

#include <array>
#include <cstdio>

namespace linvo::engine {
namespace {

struct Entry {
  Message message;
  Result code;
  const char* format;
};

// The one table of codes and their trace messages.
constexpr std::array kMessages{
    Entry{Message::kAlreadyOpened, kStateError, "ErrorCode %d: Serial Port is already opened"},
    Entry{Message::kAlreadyClosed, kStateError, "ErrorCode %d: Serial Port is already closed"},
    Entry{Message::kNoReceiveData, kStateError, "ErrorCode %d: No Receive Data"},
    Entry{Message::kAlreadyRegistered, kStateError,
          "ErrorCode %d: This port has already been registered."},
    Entry{Message::kThreadFailed, kStateError,
          "ErrorCode %d: The function failed in making the thread."},
    Entry{Message::kParameterError, kParameterError, "ErrorCode %d: Parameter Error"},
    Entry{Message::kParameterError1, kParameterError, "ErrorCode %d: Parameter Error1"},
    Entry{Message::kParameterError2, kParameterError, "ErrorCode %d: Parameter Error2"},
    Entry{Message::kParameterError3, kParameterError, "ErrorCode %d: Parameter Error3"},
    Entry{Message::kParameterError4, kParameterError, "ErrorCode %d: Parameter Error4"},
    Entry{Message::kParameterError5, kParameterError, "ErrorCode %d: Parameter Error5"},
    Entry{Message::kResponseTimerParameter, kParameterError,
          "ErrorCode %d: Respons Timer Parameter Error"},
    Entry{Message::kBusyTimerParameter, kParameterError,
          "ErrorCode %d: Busy Respons Timer Parameter Error"},
    Entry{Message::kNotOpenedYet, kNotOpen, "ErrorCode %d: Serial Port is not opened yet"},
    Entry{Message::kCannotBeOpened, kNotOpen, "ErrorCode %d: Serial Port cannot be opened"},
    Entry{Message::kCancel, kCancelled, "ErrorCode %d: Cancel Error."},
    Entry{Message::kNakResponse, kNak, "ErrorCode %d: NAK Response"},
    Entry{Message::kReadTimeout, kTimeout, "ErrorCode %d: Timeout Error."},
    Entry{Message::kOperationTimeout, kTimeout, "ErrorCode %d: Timeout Error"},
    Entry{Message::kCtsTimeout, kCtsTimeout, "ErrorCode %d: CTS Timeout Error"},
    Entry{Message::kDsrTimeout, kDsrError, "ErrorCode %d: DSR Timeout Error"},
    Entry{Message::kDsrError, kDsrError, "ErrorCode %d: DSR Error."},
    Entry{Message::kBusyTimeout, kBusyTimeout, "ErrorCode %d: Busy Timeout Error."},
    Entry{Message::kBccRetryError, kBccError, "ErrorCode %d: BCC Retry Error"},
    Entry{Message::kBufferOver, kBufferOver, "ErrorCode %d: BUFFEROVER"},
    Entry{Message::kPortBusy, kPortBusy, "ErrorCode %d: Serial Port is busy"},
    Entry{Message::kThreadTypeBusy, kPortBusy, "ErrorCode %d: ThreadType %x :Serial Port is busy"},
    Entry{Message::kSend1, kSendError, "ErrorCode %d: WIN32 API Error (Send1)"},
    Entry{Message::kSend2, kSendError, "ErrorCode %d: WIN32 API Error (Send2)"},
    Entry{Message::kSend3, kSendError, "ErrorCode %d: WIN32 API Error (Send3)"},
    Entry{Message::kReceive, kReceiveError, "ErrorCode %d: WIN32 API Error (Receive)"},
};

const Entry& Find(Message message) {
  for (const Entry& e : kMessages) {
    if (e.message == message) return e;
  }
  return kMessages[static_cast<std::size_t>(Message::kParameterError)];
}

}  // namespace

Result CodeOf(Message message) { return Find(message).code; }

std::string FormatResultMessage(Message message, int extra) {
  const Entry& e = Find(message);
  char text[128];
  if (message == Message::kThreadTypeBusy) {
    std::snprintf(text, sizeof text, e.format, static_cast<int>(e.code),
                  static_cast<unsigned>(extra));
  } else {
    std::snprintf(text, sizeof text, e.format, static_cast<int>(e.code));
  }
  return text;
}

std::string FormatSystemError(int code, const std::string& text) {
  return text + " (system error " + std::to_string(code) + ")";
}

}  // namespace linvo::engine
