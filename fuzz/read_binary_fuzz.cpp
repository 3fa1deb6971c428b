// Binary receive: the peer sends the input (after a one-byte header) and one of the binary
// receives takes it. Time-outs are 0, so an input costs about one quiet gap.
//
// Header byte: bits 0-1 select the receive (0: ReadCommForBinary for a report into a buffer of
// 3..66 bytes from bits 2-7 or 4102 when those are 0, 1: ReadCommForBinary in acknowledgement
// mode, 2: ReadCommForUnformattedBinary of 1..64 bytes, 3: ReceiveBinaryReport with a reply
// capacity of 1..32 bytes and a retry count of 0 or 1).
#include <vector>

#include "fuzz/harness.h"

using linvo::fuzz::Check;

namespace {

constexpr uint8_t SYN = 0x16, STX = 0x02, ETX = 0x03;

// A frame that ReadCommForBinary took from the line was undoubled: doubling its data part again
// must give back bytes the line carried.
void CheckUndoubled(const uint8_t* line, size_t lineSize, const uint8_t* got, int length) {
  if (length < 5 || got[0] != SYN || got[1] != STX || got[length - 3] != SYN ||
      got[length - 2] != ETX) {
    return;
  }
  std::vector<uint8_t> wire{SYN, STX};
  for (int i = 2; i < length - 3; ++i) {
    if (got[i] == SYN) wire.push_back(SYN);
    wire.push_back(got[i]);
  }
  wire.insert(wire.end(), {SYN, ETX, got[length - 1]});
  Check(linvo::fuzz::Contains(line, lineSize, wire.data(), wire.size()),
        "undoubled frame does not double back to bytes on the line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] & 3;
  const int arg = data[0] >> 2;
  const uint8_t* line = data + 1;
  const size_t lineSize = size - 1;
  auto& fp = linvo::fuzz::FuzzPort::Get();
  auto& port = fp.Port();
  fp.Feed(line, lineSize);

  if (mode == 3) {
    const int16_t capacity = static_cast<int16_t>(1 + (arg & 31));
    std::vector<uint8_t> reply(static_cast<size_t>(capacity));
    int16_t replyLength = -1;
    const auto r = port.ReceiveBinaryReport("fuzz", 0, static_cast<int16_t>(arg >> 5), 0, 0,
                                            reply.data(), capacity, &replyLength);
    Check(r == 0 || r == 110 || r == 120 || r == 130, "report ended with an unexpected code");
    Check(replyLength >= 0 && replyLength <= capacity, "reply length outside the buffer");
    Check(r != 130 || replyLength == capacity, "overflow without a full reply");
    return 0;
  }

  int capacity = mode == 1 ? 2 : mode == 2 ? 1 + arg : arg == 0 ? 4102 : 3 + arg;
  std::vector<uint8_t> buffer(static_cast<size_t>(capacity));
  int length = capacity;
  linvo::engine::Result r;
  if (mode == 2) {
    r = port.ReadCommForUnformattedBinary(buffer.data(), &length, 0, 0);
  } else {
    r = port.ReadCommForBinary(buffer.data(), &length, 0, 0);
  }
  Check(r == 0 || r == 110, "binary receive ended with an unexpected code");
  if (r != 0) return 0;
  Check(length >= 1 && length <= capacity, "delivered length outside the buffer");
  const uint8_t* got = buffer.data();
  if (mode == 2) {
    Check(std::equal(got, got + length, line), "raw bytes differ from the line's first bytes");
  } else if (mode == 1) {
    Check(length == 2 && got[0] == SYN, "acknowledgement is no SYN pair");
  } else if (length < capacity) {
    CheckUndoubled(line, lineSize, got, length);
  }
  return 0;
}
