// Synchronous operations of the text protocol: command send, response poll, data sends and
// receives, input purge.
#include <cstring>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/comm_port.h"
#include "engine/operation_bracket.h"
#include "platform/clock.h"

namespace linvo::engine {
namespace {

bool BccOk(const uint8_t* frame, int length) {
  return codec::BccOk({frame, static_cast<std::size_t>(length > 0 ? length : 0)});
}

void Store(std::string* out, const uint8_t* bytes, int count) {
  if (out != nullptr) out->assign(reinterpret_cast<const char*>(bytes), count > 0 ? count : 0);
}

void Store(std::string* out, std::string_view field) {
  if (out != nullptr) out->assign(field);
}

// The text of a frame between its STX and its ETX (and BCC); a frame shorter than that has none.
std::string_view FrameText(const uint8_t* frame, int length) {
  return length > 3 ? std::string_view(reinterpret_cast<const char*>(frame) + 1,
                                       static_cast<std::size_t>(length - 3))
                    : std::string_view();
}

std::vector<uint8_t> DataFrame(const char* data, int length) {
  return codec::DataFrame(
      {reinterpret_cast<const uint8_t*>(data), static_cast<std::size_t>(length)});
}

std::vector<uint8_t> CommandFrame(const char* command, const char* parameter, int length) {
  return codec::CommandFrame(command[0], command[1],
                             {reinterpret_cast<const uint8_t*>(parameter),
                              parameter != nullptr ? static_cast<std::size_t>(length) : 0});
}

// The checks shared by the data sends: length not negative, data given, lengths agree, data
// not empty.
bool DataArgumentsOk(const char* data, int16_t length) {
  return length >= 0 && data != nullptr && std::strlen(data) == static_cast<std::size_t>(length) &&
         length != 0;
}

}  // namespace

Result CCommPort::SendWithAck(const uint8_t* bytes, int count, int16_t retryCount, int32_t ackTimer,
                              int16_t dsrCheck) {
  Result result = kSuccess;
  for (int attempt = 0; attempt <= retryCount; ++attempt) {
    if (Result r = WriteComm(bytes, count, ackTimer, dsrCheck); r != kSuccess) return r;
    uint8_t reply = 0;
    int length = 1;
    Result r = ReadComm(&reply, &length, ackTimer, dsrCheck);
    if (r == kTimeout) {
      result = kTimeout;
      continue;
    }
    if (r != kSuccess) return r;
    if (reply == ACK) return kAck;
    result = kNak;
  }
  if (result == kTimeout) {
    TraceMessage(Message::kOperationTimeout);
    return kTimeout;
  }
  TraceMessage(Message::kNakResponse);
  return kNak;
}

Result CCommPort::PollResponse(int16_t recMode, int32_t timer, int32_t busyTimeOut,
                               int16_t dsrCheck, uint8_t* frame, int* length, bool* receiveFailed) {
  const uint32_t start = platform::TickCount();
  *receiveFailed = false;
  for (;;) {
    if (Result r = WriteComm(codec::kPoll, 2, timer, dsrCheck); r != kSuccess) return r;
    *length = kReceiveCapacity;
    *receiveFailed = true;
    if (Result r = ReadComm(frame, length, timer, dsrCheck); r != kSuccess) return r;
    if (!BccOk(frame, *length)) {
      if (Result r = RetryBCC(frame, length, timer, dsrCheck); r != kSuccess) return r;
    }
    *receiveFailed = false;
    uint8_t letter = *length > 1 ? frame[1] : 0;
    if (letter == 'R' || letter == 'A' || recMode == 0) return kSuccess;
    if (platform::TickCount() - start > static_cast<uint32_t>(busyTimeOut)) {
      TraceMessage(Message::kBusyTimeout);
      return kBusyTimeout;
    }
  }
}

namespace {

// Fills the response outputs and gives the result by status letter.
Result ResponseResult(const uint8_t* frame, int length, std::string* status, std::string* code,
                      std::string* data) {
  const ResponseFields fields = SplitResponse(FrameText(frame, length));
  Store(status, fields.status);
  Store(code, fields.code);
  uint8_t letter = length > 1 ? frame[1] : 0;
  Result result = letter == 'A'   ? kResponseA
                  : letter == 'R' ? kResponseR
                  : letter == 'B' ? kResponseB
                                  : kSuccess;
  if (result != kSuccess) Store(data, fields.data);
  return result;
}

}  // namespace

Result CCommPort::SendCommand(Caller caller, int32_t ackTimer, int32_t dsrCheck,
                              const char* command, const char* parameter, int16_t parameterLength) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (ackTimer < 0) return bracket.Fail(Message::kParameterError1);
  if (command == nullptr || std::strlen(command) != 2)
    return bracket.Fail(Message::kParameterError2);
  if (parameterLength < 0) return bracket.Fail(Message::kParameterError3);
  if (parameter != nullptr && std::strlen(parameter) != static_cast<std::size_t>(parameterLength)) {
    return bracket.Fail(Message::kParameterError4);
  }
  if (parameter == nullptr && parameterLength != 0) return bracket.Fail(Message::kParameterError5);

  bracket.BeginExchange();
  const std::vector<uint8_t> bytes = CommandFrame(command, parameter, parameterLength);
  if (Result r = WriteComm(bytes.data(), static_cast<int>(bytes.size()), ackTimer,
                           static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return bracket.PassOn(r);
  }
  uint8_t reply = 0;
  int length = 1;
  if (Result r = ReadComm(&reply, &length, ackTimer, static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return bracket.PassOn(r);
  }
  Result result = reply == ACK ? kAck : kNak;
  // A combined method carries on under the same trace bracket when this send opens it.
  return bracket.Finish(result);
}

Result CCommPort::ReceiveResponse(Caller caller, int16_t recMode, int32_t responseTimer,
                                  int32_t busyTimeOut, int32_t dsrCheck, std::string* status,
                                  std::string* code, std::string* data) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (responseTimer < 0) return bracket.Fail(Message::kParameterError);
  bracket.BeginExchange();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int length = 0;
  bool receiveFailed = false;
  if (Result r = PollResponse(recMode, responseTimer, busyTimeOut, static_cast<int16_t>(dsrCheck),
                              buffer.data(), &length, &receiveFailed);
      r != kSuccess) {
    return bracket.PassOn(r);
  }
  return bracket.Succeed(ResponseResult(buffer.data(), length, status, code, data));
}

Result CCommPort::SendCommandRR(Caller caller, int16_t recMode, int32_t ackTimer,
                                int32_t busyTimeOut, int32_t dsrCheck, const char* command,
                                const char* parameter, int16_t parameterLength, std::string* status,
                                std::string* code, std::string* data) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (ackTimer < 0 || busyTimeOut < 0 || command == nullptr || std::strlen(command) != 2 ||
      parameterLength < 0 ||
      (parameter != nullptr &&
       std::strlen(parameter) != static_cast<std::size_t>(parameterLength)) ||
      (parameter == nullptr && parameterLength != 0)) {
    return bracket.Fail(Message::kParameterError);
  }
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  bracket.BeginExchange();
  const std::vector<uint8_t> bytes = CommandFrame(command, parameter, parameterLength);
  if (Result r = WriteComm(bytes.data(), static_cast<int>(bytes.size()), ackTimer, dsr);
      r != kSuccess) {
    return bracket.PassOn(r);
  }
  // A failed receive leaves whatever the device sent late in the input queue; it is discarded
  // so that the next exchange starts clean.
  auto purgeAndPass = [&](Result r) {
    m_hComm->Purge(platform::kPurgeRxClear);
    TraceLineNotes();
    return bracket.PassOn(r);
  };
  uint8_t reply = 0;
  int length = 1;
  if (Result r = ReadComm(&reply, &length, ackTimer, dsr); r != kSuccess) return purgeAndPass(r);
  if (reply == NAK) return bracket.PassOn(kNak);

  std::vector<uint8_t> buffer(kReceiveCapacity);
  bool receiveFailed = false;
  if (Result r =
          PollResponse(recMode, ackTimer, busyTimeOut, dsr, buffer.data(), &length, &receiveFailed);
      r != kSuccess) {
    return receiveFailed ? purgeAndPass(r) : bracket.PassOn(r);
  }
  return bracket.Succeed(ResponseResult(buffer.data(), length, status, code, data));
}

Result CCommPort::SendDataAck(Caller caller, int16_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                              const char* data, int16_t length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  // A negative retry count is refused like in the other sends with retries: it would otherwise
  // send nothing and report success.
  if (retryCount < 0 || ackTimer < 0 || !DataArgumentsOk(data, length)) {
    return bracket.Fail(Message::kParameterError);
  }
  bracket.BeginExchange();
  Result r = SendWithAck(reinterpret_cast<const uint8_t*>(data), length, retryCount, ackTimer,
                         static_cast<int16_t>(dsrCheck));
  return r == kAck ? bracket.Succeed(kAck) : bracket.PassOn(r);
}

Result CCommPort::SendDataNoAck(Caller caller, int32_t ackTimer, int32_t dsrCheck, const char* data,
                                int16_t length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (ackTimer < 0 || !DataArgumentsOk(data, length)) return bracket.Fail(Message::kParameterError);
  Result r = WriteComm(reinterpret_cast<const uint8_t*>(data), length, ackTimer,
                       static_cast<int16_t>(dsrCheck));
  return r == kSuccess ? bracket.Succeed(kSuccess) : bracket.PassOn(r);
}

Result CCommPort::SendDataFramed(Caller caller, int16_t ackCheck, int16_t retryCount,
                                 int32_t ackTimer, int32_t dsrCheck, const char* data,
                                 int16_t length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (ackCheck < 0 || retryCount < 0 || ackTimer < 0 || !DataArgumentsOk(data, length)) {
    return bracket.Fail(Message::kParameterError);
  }
  bracket.BeginExchange();
  std::vector<uint8_t> bytes = DataFrame(data, length);
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  Result r = ackCheck == 0 ? WriteComm(bytes.data(), static_cast<int>(bytes.size()), ackTimer, dsr)
                           : SendWithAck(bytes.data(), static_cast<int>(bytes.size()), retryCount,
                                         ackTimer, dsr);
  if (r != kSuccess && r != kAck) return bracket.PassOn(r);
  // The combined methods go on receiving under the bracket this send opens.
  return bracket.Finish(kSuccess);
}

Result CCommPort::SendDataBCC(Caller caller, int16_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                              const char* data, int16_t length, std::string* reply,
                              int16_t* replyLength) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (retryCount < 0 || ackTimer < 0 || !DataArgumentsOk(data, length)) {
    return bracket.Fail(Message::kParameterError);
  }
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  bracket.BeginExchange();
  std::vector<uint8_t> bytes = DataFrame(data, length);
  if (Result r =
          SendWithAck(bytes.data(), static_cast<int>(bytes.size()), retryCount, ackTimer, dsr);
      r != kAck) {
    return bracket.PassOn(r);
  }
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  if (Result r = ReadComm(buffer.data(), &received, ackTimer, dsr); r != kSuccess) {
    return bracket.PassOn(r);
  }
  if (!BccOk(buffer.data(), received)) {
    if (Result r = RetryBCC(buffer.data(), &received, ackTimer, dsr); r != kSuccess) {
      return bracket.PassOn(r);
    }
  }
  Store(reply, buffer.data() + 1, received - 3);
  if (replyLength != nullptr) *replyLength = static_cast<int16_t>(received - 3);
  if (Result r = WriteComm(codec::kAckMessage, 1, ackTimer, dsr); r != kSuccess)
    return bracket.PassOn(r);
  return bracket.Succeed(kSuccess);
}

Result CCommPort::ReceiveDataPlain(Caller caller, int32_t dsrCheck, std::string* data,
                                   int16_t* length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  if (Result r = ReadComm(buffer.data(), &received, -1, static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return bracket.PassOn(r);
  }
  if (received == 0) return bracket.Fail(Message::kNoReceiveData);
  Store(data, buffer.data(), received);
  if (length != nullptr) *length = static_cast<int16_t>(received);
  return bracket.Succeed(kSuccess);
}

Result CCommPort::ReceiveDataFramed(Caller caller, int16_t ackResponse, int32_t responseTimer,
                                    int32_t dsrCheck, std::string* data, int16_t* length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (ackResponse < 0 || responseTimer < 0) return bracket.Fail(Message::kParameterError);
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  bracket.BeginExchange();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  if (Result r = ReadComm(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
    return bracket.PassOn(r);
  }
  auto fill = [&] {
    Store(data, buffer.data() + 1, received - 3);
    if (length != nullptr) *length = static_cast<int16_t>(received - 3);
  };
  if (!BccOk(buffer.data(), received)) {
    if (ackResponse == 0) {
      // Delivered with the data, reported without an error line.
      fill();
      return bracket.DeliverWithError(kBccError);
    }
    if (Result r = RetryBCC(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
      return bracket.PassOn(r);
    }
  }
  fill();
  if (ackResponse != 0) {
    if (Result r = WriteComm(codec::kAckMessage, 1, responseTimer, dsr); r != kSuccess)
      return bracket.PassOn(r);
  }
  return bracket.Succeed(kSuccess);
}

Result CCommPort::ReceiveDataHF(Caller caller, int16_t ackJudge, int32_t responseTimer,
                                int32_t dsrCheck, std::string* reserve, std::string* response,
                                std::string* statusCode, std::string* reserve2,
                                std::string* response2, std::string* statusCode2, std::string* data,
                                int16_t* length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (responseTimer < 0) return bracket.Fail(Message::kParameterError);
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  bracket.BeginExchange();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  // Frames shorter than the 8 bytes of the layout give the fields they hold and no data.
  auto fill = [&](std::string* reserveOut, std::string* responseOut, std::string* statusOut) {
    const HFFields fields = SplitHF(FrameText(buffer.data(), received));
    Store(reserveOut, fields.reserve);
    Store(responseOut, fields.response);
    Store(statusOut, fields.status);
    Store(data, fields.data);
    if (length != nullptr) *length = static_cast<int16_t>(fields.data.size());
  };
  if (Result r = ReadCommHF(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
    return bracket.PassOn(r);
  }
  fill(reserve, response, statusCode);
  bool firstBad = false;
  if (ackJudge != 0 && codec::IsTwoPartHF({buffer.data(), static_cast<std::size_t>(received)})) {
    firstBad = !BccOk(buffer.data(), received);
    received = kReceiveCapacity;
    if (Result r = ReadCommHF(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
      return bracket.PassOn(r);
    }
    fill(reserve2, response2, statusCode2);
  }
  if (!BccOk(buffer.data(), received)) return bracket.DeliverWithError(kBccError);
  return bracket.Succeed(firstBad ? kBccError : kSuccess);
}

Result CCommPort::ComBufferClear(Caller caller) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  const bool purged = m_hComm->Purge(platform::kPurgeRxClear);
  TraceLineNotes();
  if (!purged) return bracket.FailSilently(kStateError);
  return bracket.Succeed(kSuccess);
}

}  // namespace linvo::engine
