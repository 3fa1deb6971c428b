// Synchronous operations of the text protocol: command send, response poll, data sends and
// receives, input purge.
#include <cstring>
#include <string>
#include <vector>

#include "engine/comm_port.h"
#include "engine/operation_frame.h"
#include "platform/clock.h"

namespace linvo::engine {
namespace {

bool BccOk(const uint8_t* frame, int length) {
  uint8_t bcc = 0;
  CCommPort::CalcBCC(frame, length, &bcc);
  return length > 0 && bcc == frame[length - 1];
}

void Store(std::string* out, const uint8_t* bytes, int count) {
  if (out != nullptr) out->assign(reinterpret_cast<const char*>(bytes), count > 0 ? count : 0);
}

// A field of a frame: `count` bytes from `offset`, cut to the bytes before the ETX and BCC, so
// that a frame shorter than its layout yields the (possibly empty) part it holds.
void StoreField(std::string* out, const uint8_t* frame, int length, int offset, int count) {
  int end = std::min(offset + count, length - 2);
  Store(out, frame + offset, end - offset);
}

// STX data ETX BCC.
std::vector<uint8_t> DataFrame(const char* data, int length) {
  std::vector<uint8_t> frame;
  frame.reserve(static_cast<std::size_t>(length) + 3);
  frame.push_back(STX);
  frame.insert(frame.end(), data, data + length);
  frame.push_back(ETX);
  uint8_t bcc = 0;
  CCommPort::CalcBCC(frame.data(), static_cast<int>(frame.size()), &bcc);
  frame.push_back(bcc);
  return frame;
}

// EOT STX c1 c2 parameters ETX BCC.
std::vector<uint8_t> CommandFrame(const char* command, const char* parameter, int length) {
  std::vector<uint8_t> frame{EOT, STX, static_cast<uint8_t>(command[0]),
                             static_cast<uint8_t>(command[1])};
  if (parameter != nullptr) frame.insert(frame.end(), parameter, parameter + length);
  frame.push_back(ETX);
  uint8_t bcc = 0;
  CCommPort::CalcBCC(frame.data(), static_cast<int>(frame.size()), &bcc);
  frame.push_back(bcc);
  return frame;
}

// The checks shared by the data sends: length not negative, data given, lengths agree, data
// not empty.
bool DataArgumentsOk(const char* data, int16_t length) {
  return length >= 0 && data != nullptr && std::strlen(data) == static_cast<std::size_t>(length) &&
         length != 0;
}

constexpr uint8_t kPoll[] = {EOT, ENQ};
constexpr uint8_t kAckByte[] = {ACK};

// Two-part HF replies: a first frame with one of these (response code, status code) pairs is
// followed by a second frame.
bool IsTwoPart(const uint8_t* frame, int length) {
  static constexpr const char* kPairs[] = {"02", "05", "07", "0D", "14", "16", "18", "1A"};
  if (length < 8 || frame[4] != '0' || frame[5] != '2') return false;
  for (const char* p : kPairs) {
    if (frame[2] == p[0] && frame[3] == p[1]) return true;
  }
  return false;
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
    if (Result r = WriteComm(kPoll, 2, timer, dsrCheck); r != kSuccess) return r;
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
  StoreField(status, frame, length, 2, 2);
  StoreField(code, frame, length, 4, 2);
  uint8_t letter = length > 1 ? frame[1] : 0;
  Result result = letter == 'A'   ? kResponseA
                  : letter == 'R' ? kResponseR
                  : letter == 'B' ? kResponseB
                                  : kSuccess;
  if (result != kSuccess) Store(data, frame + 6, length - 8);
  return result;
}

}  // namespace

Result CCommPort::SendCommand(Caller caller, int32_t ackTimer, int32_t dsrCheck,
                              const char* command, const char* parameter, int16_t parameterLength) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (ackTimer < 0) return frame.Fail(Message::kParameterError1);
  if (command == nullptr || std::strlen(command) != 2) return frame.Fail(Message::kParameterError2);
  if (parameterLength < 0) return frame.Fail(Message::kParameterError3);
  if (parameter != nullptr && std::strlen(parameter) != static_cast<std::size_t>(parameterLength)) {
    return frame.Fail(Message::kParameterError4);
  }
  if (parameter == nullptr && parameterLength != 0) return frame.Fail(Message::kParameterError5);

  frame.BeginExchange();
  const std::vector<uint8_t> bytes = CommandFrame(command, parameter, parameterLength);
  if (Result r = WriteComm(bytes.data(), static_cast<int>(bytes.size()), ackTimer,
                           static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return frame.PassOn(r);
  }
  uint8_t reply = 0;
  int length = 1;
  if (Result r = ReadComm(&reply, &length, ackTimer, static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return frame.PassOn(r);
  }
  Result result = reply == ACK ? kAck : kNak;
  // A combined method carries on under the same trace bracket when this send opens it.
  return frame.Finish(result);
}

Result CCommPort::ReceiveResponse(Caller caller, int16_t recMode, int32_t responseTimer,
                                  int32_t busyTimeOut, int32_t dsrCheck, std::string* status,
                                  std::string* code, std::string* data) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (responseTimer < 0) return frame.Fail(Message::kParameterError);
  frame.BeginExchange();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int length = 0;
  bool receiveFailed = false;
  if (Result r = PollResponse(recMode, responseTimer, busyTimeOut, static_cast<int16_t>(dsrCheck),
                              buffer.data(), &length, &receiveFailed);
      r != kSuccess) {
    return frame.PassOn(r);
  }
  return frame.Succeed(ResponseResult(buffer.data(), length, status, code, data));
}

Result CCommPort::SendCommandRR(Caller caller, int16_t recMode, int32_t ackTimer,
                                int32_t busyTimeOut, int32_t dsrCheck, const char* command,
                                const char* parameter, int16_t parameterLength, std::string* status,
                                std::string* code, std::string* data) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (ackTimer < 0 || busyTimeOut < 0 || command == nullptr || std::strlen(command) != 2 ||
      parameterLength < 0 ||
      (parameter != nullptr &&
       std::strlen(parameter) != static_cast<std::size_t>(parameterLength)) ||
      (parameter == nullptr && parameterLength != 0)) {
    return frame.Fail(Message::kParameterError);
  }
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  frame.BeginExchange();
  const std::vector<uint8_t> bytes = CommandFrame(command, parameter, parameterLength);
  if (Result r = WriteComm(bytes.data(), static_cast<int>(bytes.size()), ackTimer, dsr);
      r != kSuccess) {
    return frame.PassOn(r);
  }
  // A failed receive leaves whatever the device sent late in the input queue; it is discarded
  // so that the next exchange starts clean.
  auto purgeAndPass = [&](Result r) {
    m_hComm->Purge(platform::kPurgeRxClear);
    return frame.PassOn(r);
  };
  uint8_t reply = 0;
  int length = 1;
  if (Result r = ReadComm(&reply, &length, ackTimer, dsr); r != kSuccess) return purgeAndPass(r);
  if (reply == NAK) return frame.PassOn(kNak);

  std::vector<uint8_t> buffer(kReceiveCapacity);
  bool receiveFailed = false;
  if (Result r =
          PollResponse(recMode, ackTimer, busyTimeOut, dsr, buffer.data(), &length, &receiveFailed);
      r != kSuccess) {
    return receiveFailed ? purgeAndPass(r) : frame.PassOn(r);
  }
  return frame.Succeed(ResponseResult(buffer.data(), length, status, code, data));
}

Result CCommPort::SendDataAck(Caller caller, int16_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                              const char* data, int16_t length) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  // A negative retry count is refused like in the other sends with retries: it would otherwise
  // send nothing and report success.
  if (retryCount < 0 || ackTimer < 0 || !DataArgumentsOk(data, length)) {
    return frame.Fail(Message::kParameterError);
  }
  frame.BeginExchange();
  Result r = SendWithAck(reinterpret_cast<const uint8_t*>(data), length, retryCount, ackTimer,
                         static_cast<int16_t>(dsrCheck));
  return r == kAck ? frame.Succeed(kAck) : frame.PassOn(r);
}

Result CCommPort::SendDataNoAck(Caller caller, int32_t ackTimer, int32_t dsrCheck, const char* data,
                                int16_t length) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (ackTimer < 0 || !DataArgumentsOk(data, length)) return frame.Fail(Message::kParameterError);
  Result r = WriteComm(reinterpret_cast<const uint8_t*>(data), length, ackTimer,
                       static_cast<int16_t>(dsrCheck));
  return r == kSuccess ? frame.Succeed(kSuccess) : frame.PassOn(r);
}

Result CCommPort::SendDataFramed(Caller caller, int16_t ackCheck, int16_t retryCount,
                                 int32_t ackTimer, int32_t dsrCheck, const char* data,
                                 int16_t length) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (ackCheck < 0 || retryCount < 0 || ackTimer < 0 || !DataArgumentsOk(data, length)) {
    return frame.Fail(Message::kParameterError);
  }
  frame.BeginExchange();
  std::vector<uint8_t> bytes = DataFrame(data, length);
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  Result r = ackCheck == 0 ? WriteComm(bytes.data(), static_cast<int>(bytes.size()), ackTimer, dsr)
                           : SendWithAck(bytes.data(), static_cast<int>(bytes.size()), retryCount,
                                         ackTimer, dsr);
  if (r != kSuccess && r != kAck) return frame.PassOn(r);
  // The combined methods go on receiving under the bracket this send opens.
  return frame.Finish(kSuccess);
}

Result CCommPort::SendDataBCC(Caller caller, int16_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                              const char* data, int16_t length, std::string* reply,
                              int16_t* replyLength) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (retryCount < 0 || ackTimer < 0 || !DataArgumentsOk(data, length)) {
    return frame.Fail(Message::kParameterError);
  }
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  frame.BeginExchange();
  std::vector<uint8_t> bytes = DataFrame(data, length);
  if (Result r =
          SendWithAck(bytes.data(), static_cast<int>(bytes.size()), retryCount, ackTimer, dsr);
      r != kAck) {
    return frame.PassOn(r);
  }
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  if (Result r = ReadComm(buffer.data(), &received, ackTimer, dsr); r != kSuccess) {
    return frame.PassOn(r);
  }
  if (!BccOk(buffer.data(), received)) {
    if (Result r = RetryBCC(buffer.data(), &received, ackTimer, dsr); r != kSuccess) {
      return frame.PassOn(r);
    }
  }
  Store(reply, buffer.data() + 1, received - 3);
  if (replyLength != nullptr) *replyLength = static_cast<int16_t>(received - 3);
  if (Result r = WriteComm(kAckByte, 1, ackTimer, dsr); r != kSuccess) return frame.PassOn(r);
  return frame.Succeed(kSuccess);
}

Result CCommPort::ReceiveDataPlain(Caller caller, int32_t dsrCheck, std::string* data,
                                   int16_t* length) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  if (Result r = ReadComm(buffer.data(), &received, -1, static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return frame.PassOn(r);
  }
  if (received == 0) return frame.Fail(Message::kNoReceiveData);
  Store(data, buffer.data(), received);
  if (length != nullptr) *length = static_cast<int16_t>(received);
  return frame.Succeed(kSuccess);
}

Result CCommPort::ReceiveDataFramed(Caller caller, int16_t ackResponse, int32_t responseTimer,
                                    int32_t dsrCheck, std::string* data, int16_t* length) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (ackResponse < 0 || responseTimer < 0) return frame.Fail(Message::kParameterError);
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  frame.BeginExchange();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  if (Result r = ReadComm(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
    return frame.PassOn(r);
  }
  auto fill = [&] {
    Store(data, buffer.data() + 1, received - 3);
    if (length != nullptr) *length = static_cast<int16_t>(received - 3);
  };
  if (!BccOk(buffer.data(), received)) {
    if (ackResponse == 0) {
      // Delivered with the data, reported without an error line.
      fill();
      frame.EndExchange();
      frame.ReturnValue(kBccError);
      frame.Unlock();
      frame.ErrExitLine();
      return kBccError;
    }
    if (Result r = RetryBCC(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
      return frame.PassOn(r);
    }
  }
  fill();
  if (ackResponse != 0) {
    if (Result r = WriteComm(kAckByte, 1, responseTimer, dsr); r != kSuccess)
      return frame.PassOn(r);
  }
  return frame.Succeed(kSuccess);
}

Result CCommPort::ReceiveDataHF(Caller caller, int16_t ackJudge, int32_t responseTimer,
                                int32_t dsrCheck, std::string* reserve, std::string* response,
                                std::string* statusCode, std::string* reserve2,
                                std::string* response2, std::string* statusCode2, std::string* data,
                                int16_t* length) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (m_pWorkerThread.load() != nullptr) return frame.Fail(Message::kPortBusy);
  if (responseTimer < 0) return frame.Fail(Message::kParameterError);
  const int16_t dsr = static_cast<int16_t>(dsrCheck);
  frame.BeginExchange();
  std::vector<uint8_t> buffer(kReceiveCapacity);
  int received = kReceiveCapacity;
  // Frames shorter than the 8 bytes of the layout give the fields they hold and no data.
  auto fillData = [&] {
    int n = received > 8 ? received - 8 : 0;
    Store(data, buffer.data() + 6, n);
    if (length != nullptr) *length = static_cast<int16_t>(n);
  };
  if (Result r = ReadCommHF(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
    return frame.PassOn(r);
  }
  StoreField(reserve, buffer.data(), received, 1, 1);
  StoreField(response, buffer.data(), received, 2, 2);
  StoreField(statusCode, buffer.data(), received, 4, 2);
  fillData();
  bool firstBad = false;
  if (ackJudge != 0 && IsTwoPart(buffer.data(), received)) {
    firstBad = !BccOk(buffer.data(), received);
    received = kReceiveCapacity;
    if (Result r = ReadCommHF(buffer.data(), &received, responseTimer, dsr); r != kSuccess) {
      return frame.PassOn(r);
    }
    StoreField(reserve2, buffer.data(), received, 1, 1);
    StoreField(response2, buffer.data(), received, 2, 2);
    StoreField(statusCode2, buffer.data(), received, 4, 2);
    fillData();
  }
  if (!BccOk(buffer.data(), received)) {
    frame.EndExchange();
    frame.ReturnValue(kBccError);
    frame.Unlock();
    frame.ErrExitLine();
    return kBccError;
  }
  return frame.Succeed(firstBad ? kBccError : kSuccess);
}

Result CCommPort::ComBufferClear(Caller caller) {
  OperationFrame frame(*this, caller);
  if (!IsOpen()) return frame.Fail(Message::kNotOpenedYet);
  if (!m_hComm->Purge(platform::kPurgeRxClear)) {
    frame.Unlock(false);
    return kStateError;
  }
  return frame.Succeed(kSuccess);
}

}  // namespace linvo::engine
