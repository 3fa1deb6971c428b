// Text receive: the peer sends the input (after a one-byte header) and ReadComm takes it as a
// frame, a single ACK/NAK or, with a negative time-out, as raw bytes. Time-outs are 0, so an
// input costs about one quiet gap.
//
// Header byte: bits 0-1 select the mode (0: frame into the operations' 5120-byte buffer,
// 1: frame into a buffer of 2..65 bytes from bits 2-7, 2: ACK mode, 3: raw with a negative
// time-out into a buffer of 1..64 bytes; a capacity of 1 would select ACK mode).
#include <vector>

#include "fuzz/harness.h"

using linvo::engine::kReceiveCapacity;
using linvo::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] & 3;
  const int small = 1 + (data[0] >> 2);  // 1..64
  const uint8_t* line = data + 1;
  const size_t lineSize = size - 1;
  auto& fp = linvo::fuzz::FuzzPort::Get();
  fp.Feed(line, lineSize);

  const int capacity = mode == 0 ? kReceiveCapacity : mode == 1 ? small + 1 : mode == 2 ? 1 : small;
  std::vector<uint8_t> buffer(static_cast<size_t>(capacity));
  int length = capacity;
  const int32_t timeout = mode == 3 ? -1 : 0;
  const linvo::engine::Result r = fp.Port().ReadComm(buffer.data(), &length, timeout, 0);

  if (mode == 3) {
    // Raw: the first bytes of the line, as many as fit.
    Check(r == 0, "raw receive failed");
    Check(length == static_cast<int>(std::min<size_t>(lineSize, static_cast<size_t>(capacity))),
          "raw receive length");
    Check(std::equal(buffer.begin(), buffer.begin() + length, line), "raw receive bytes");
    return 0;
  }
  Check(r == 0 || r == 110, "receive ended with an unexpected code");
  if (r != 0) return 0;
  Check(length >= 1 && length <= capacity, "delivered length outside the buffer");
  const uint8_t* got = buffer.data();
  if (mode == 2) {
    Check(length == 1 && (got[0] == 0x06 || got[0] == 0x15), "ACK mode delivered another byte");
    return 0;
  }
  // A frame: STX ... ETX BCC, taken whole from what the line carried.
  Check(length >= 3 && got[0] == 0x02 && got[length - 2] == 0x03, "delivered block is no frame");
  Check(linvo::fuzz::Contains(line, lineSize, got, static_cast<size_t>(length)),
        "delivered frame is not on the line");
  return 0;
}
