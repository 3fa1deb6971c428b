// The binary protocol: SYN-escaped frames (SYN STX data SYN ETX BCC, data 0x16 doubled, BCC =
// XOR of the data XOR 0x03), the two-byte control messages SYN ACK / SYN NAK, and raw bytes. The
// binary receives are in receive.cpp.
#include <algorithm>
#include <vector>

#include "engine/codec.h"
#include "engine/comm_port.h"
#include "engine/operation_bracket.h"

namespace linvo::engine {
namespace {

using codec::FrameCheck;
using codec::kSynAck;
using codec::kSynNak;
using codec::SYN;

}  // namespace

Result CCommPort::WriteCommForBinary(const uint8_t* bytes, int32_t length, int32_t timeout,
                                     int16_t dsrCheck, int16_t ctsCheck) {
  Trace(kLevelInfo, kInfo, "Start WriteCommForBinary Method");
  m_hComm->Purge(platform::kPurgeTxClear);
  const std::size_t total = length > 0 ? static_cast<std::size_t>(length) : 0;
  if (Result r = WriteAll(bytes, total, timeout, dsrCheck, ctsCheck != 0, true); r != kSuccess) {
    return r;
  }
  Trace(kLevelInfo, kInfo, "Send Data(Including Control Code in Data)");
  TraceDump(bytes, total);
  Trace(kLevelInfo, kInfo, "End WriteCommForBinary Method");
  return kSuccess;
}

Result CCommPort::ReceiveReport(int32_t timer, int16_t retryCount, int16_t dsrCheck,
                                int16_t ctsCheck, int32_t ackTimer, uint8_t* reply,
                                int16_t capacity, int16_t* replyLength, bool reportOnly) {
  // Bad blocks are answered with SYN NAK until the limit. A report with a wrong check byte counts
  // against the retry count as the two operations define it (the command exchange allows
  // retryCount NAKs, the report receive retryCount - 1). Blocks that are no frame at all would
  // otherwise be NAKed without end: they count too, and retryCount + 1 invalid blocks of any
  // kind end the exchange with 120.
  int badCheck = 0;
  int invalid = 0;
  std::vector<uint8_t> block(static_cast<std::size_t>(capacity) + 5);
  for (;;) {
    int n = capacity + 5;
    if (Result r = ReadCommForBinary(block.data(), &n, timer, dsrCheck); r != kSuccess) return r;
    if (n == capacity + 5 && block[0] == SYN && block[1] == STX) {
      std::copy_n(block.begin() + 2, capacity, reply);
      *replyLength = capacity;
      TraceMessage(Message::kBufferOver);
      return kBufferOver;
    }
    FrameCheck check = codec::CheckBinaryFrame({block.data(), static_cast<std::size_t>(n)});
    if (check == FrameCheck::kValid) {
      if (Result r = WriteCommForBinary(kSynAck, 2, ackTimer, dsrCheck, ctsCheck); r != kSuccess) {
        return r;
      }
      std::copy(block.begin() + 2, block.begin() + (n - 3), reply);
      *replyLength = static_cast<int16_t>(n - 5);
      return kSuccess;
    }
    if (check == FrameCheck::kBadCheck) ++badCheck;
    ++invalid;
    bool limit = reportOnly ? badCheck >= retryCount : badCheck > retryCount;
    if (limit || invalid > retryCount) {
      TraceMessage(Message::kBccRetryError);
      return kBccError;
    }
    if (Result r = WriteCommForBinary(kSynNak, 2, ackTimer, dsrCheck, ctsCheck); r != kSuccess) {
      return r;
    }
  }
}

Result CCommPort::SendBinaryCommandRR(Caller caller, int32_t ackTimer, int16_t retryCount,
                                      int32_t dsrCheck, int32_t ctsCheck, const uint8_t* data,
                                      int16_t length, int32_t responseTimer, uint8_t* reply,
                                      int16_t capacity, int16_t* replyLength) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  // A reply buffer must be given and hold at least one byte.
  if (retryCount < 0 || ackTimer < 0 || responseTimer < 0 || data == nullptr || length <= 0 ||
      reply == nullptr || capacity < 1 || replyLength == nullptr) {
    return bracket.Fail(Message::kParameterError);
  }
  const int16_t dsr = static_cast<int16_t>(dsrCheck), cts = static_cast<int16_t>(ctsCheck);
  bracket.BeginExchange();
  *replyLength = 0;
  const std::vector<uint8_t> command = codec::BinaryFrame({data, static_cast<std::size_t>(length)});
  for (int attempt = 0;; ++attempt) {
    if (Result r = WriteCommForBinary(command.data(), static_cast<int32_t>(command.size()),
                                      ackTimer, dsr, cts);
        r != kSuccess) {
      return bracket.PassOn(r);
    }
    uint8_t ack[2] = {0, 0};
    int n = 2;
    Result r = ReadCommForBinary(ack, &n, ackTimer, dsr);
    if (r == kSuccess && n == 2 && ack[1] == ACK) break;
    if (r != kSuccess && r != kTimeout) return bracket.PassOn(r);
    // At the last attempt an answer that is neither ACK nor NAK ends the exchange like silence
    // does, so that garbled answers cannot repeat the command without end.
    if (attempt >= retryCount) {
      bool nak = r == kSuccess && n == 2 && ack[1] == NAK;
      return bracket.Fail(nak ? Message::kNakResponse : Message::kOperationTimeout);
    }
  }
  Result r = ReceiveReport(responseTimer, retryCount, dsr, cts, ackTimer, reply, capacity,
                           replyLength, false);
  if (r == kSuccess) return bracket.Succeed(kSuccess);
  return bracket.PassOn(r);
}

Result CCommPort::SendBinaryCommand(Caller caller, int32_t ackTimer, int16_t retryCount,
                                    int32_t dsrCheck, int32_t ctsCheck, const uint8_t* data,
                                    int16_t length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (retryCount < 0 || ackTimer < 0 || data == nullptr || length <= 0) {
    return bracket.Fail(Message::kParameterError);
  }
  const int16_t dsr = static_cast<int16_t>(dsrCheck), cts = static_cast<int16_t>(ctsCheck);
  bracket.BeginExchange();
  const std::vector<uint8_t> command = codec::BinaryFrame({data, static_cast<std::size_t>(length)});
  const uint8_t* next = command.data();
  int32_t nextLength = static_cast<int32_t>(command.size());
  for (int attempt = 0;; ++attempt) {
    if (Result r = WriteCommForBinary(next, nextLength, ackTimer, dsr, cts); r != kSuccess) {
      return bracket.PassOn(r);
    }
    uint8_t ack[2] = {0, 0};
    int n = 2;
    Result r = ReadCommForBinary(ack, &n, ackTimer, dsr);
    bool nak = false;
    if (r == kSuccess && n == 2 && ack[1] == ACK) {
      return bracket.Finish(kAck);  // a chained report receive may continue the bracket
    }
    if (r == kSuccess && n == 2 && ack[1] == NAK) {
      nak = true;
      next = command.data(), nextLength = static_cast<int32_t>(command.size());
    } else if (r == kSuccess) {
      next = kSynNak, nextLength = 2;  // ask the device to repeat its answer
    } else if (r != kTimeout) {
      return bracket.PassOn(r);
    }
    // As above: a garbled answer at the last attempt ends like silence.
    if (attempt >= retryCount) {
      return bracket.Fail(nak ? Message::kNakResponse : Message::kOperationTimeout);
    }
  }
}

Result CCommPort::ReceiveBinaryReport(Caller caller, int32_t responseTimer, int16_t retryCount,
                                      int32_t dsrCheck, int32_t ctsCheck, uint8_t* reply,
                                      int16_t capacity, int16_t* replyLength) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (retryCount < 0 || responseTimer < 0 || reply == nullptr || capacity < 1 ||
      replyLength == nullptr) {
    return bracket.Fail(Message::kParameterError);
  }
  bracket.BeginExchange();
  *replyLength = 0;
  Result r = ReceiveReport(responseTimer, retryCount, static_cast<int16_t>(dsrCheck),
                           static_cast<int16_t>(ctsCheck), responseTimer, reply, capacity,
                           replyLength, true);
  if (r == kSuccess) return bracket.Succeed(kSuccess);
  return bracket.PassOn(r);
}

Result CCommPort::SendBinaryData(Caller caller, int32_t timeout, int32_t dsrCheck, int32_t ctsCheck,
                                 const uint8_t* data, int16_t length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (timeout < 0 || data == nullptr || length <= 0) return bracket.Fail(Message::kParameterError);
  const std::vector<uint8_t> copy(data, data + length);
  Result r = WriteCommForBinary(copy.data(), length, timeout, static_cast<int16_t>(dsrCheck),
                                static_cast<int16_t>(ctsCheck));
  return r == kSuccess ? bracket.Succeed(kSuccess) : bracket.PassOn(r);
}

Result CCommPort::ReceiveBinaryData(Caller caller, int32_t timeout, int32_t dsrCheck,
                                    uint8_t* buffer, int16_t capacity, int16_t* length) {
  OperationBracket bracket(*this, caller);
  if (!IsOpen()) return bracket.Fail(Message::kNotOpenedYet);
  if (WorkerBusy()) return bracket.Fail(Message::kPortBusy);
  if (timeout < 0 || buffer == nullptr || capacity < 1 || length == nullptr) {
    return bracket.Fail(Message::kParameterError);
  }
  *length = 0;
  int n = capacity;
  if (Result r = ReadCommForUnformattedBinary(buffer, &n, timeout, static_cast<int16_t>(dsrCheck));
      r != kSuccess) {
    return bracket.PassOn(r);
  }
  *length = static_cast<int16_t>(n);
  if (n < capacity) return bracket.Succeed(kSuccess);
  return bracket.Fail(Message::kBufferOver);
}

}  // namespace linvo::engine
