// HF receive: the peer sends the input (after a one-byte header) and ReadCommHF takes one frame
// from it. Time-out 0, so an input costs about one quiet gap.
//
// Header byte: the byte limit of the receive: 0 gives the operations' 5120, n gives n.
#include <vector>

#include "fuzz/harness.h"

using linvo::engine::kReceiveCapacity;
using linvo::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int limit = data[0] == 0 ? kReceiveCapacity : data[0];
  const uint8_t* line = data + 1;
  const size_t lineSize = size - 1;
  auto& fp = linvo::fuzz::FuzzPort::Get();
  fp.Feed(line, lineSize);

  std::vector<uint8_t> buffer(static_cast<size_t>(limit));
  int length = limit;
  const linvo::engine::Result r = fp.Port().ReadCommHF(buffer.data(), &length, 0, 0);
  Check(r == 0 || r == 110, "HF receive ended with an unexpected code");
  if (r != 0) return 0;
  const uint8_t* got = buffer.data();
  Check(length >= 2 && length <= limit, "delivered length outside the limit");
  Check(got[0] == 0x02 && got[length - 2] == 0x03, "delivered block is no HF frame");
  Check(linvo::fuzz::Contains(line, lineSize, got, static_cast<size_t>(length)),
        "delivered frame is not on the line");
  return 0;
}
