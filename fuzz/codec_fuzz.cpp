// The wire codec on any bytes: the frame scanners deliver frames taken from the bytes they were
// given, undoubling inverts the doubling of a binary frame, and frames the codec builds pass its
// own checks.
#include <algorithm>

#include "engine/codec.h"
#include "fuzz/harness.h"

namespace codec = linvo::engine::codec;
using linvo::fuzz::Check;

namespace {

constexpr uint8_t SYN = 0x16, STX = 0x02, ETX = 0x03;

bool Framed(const codec::Bytes& f, uint8_t first) {
  return f.size() >= 3 && f.front() == first && f[f.size() - 2] == ETX;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const codec::ByteView bytes(data, size);

  // Text frames.
  const codec::FrameSpan span = codec::LastReadFrame(bytes);
  if (span.size > 0) {
    Check(span.start + span.size <= size, "frame span outside the burst");
    const codec::Bytes frame(data + span.start, data + span.start + span.size);
    Check(Framed(frame, STX), "scanned frame is not STX ... ETX BCC");
  }
  const codec::Bytes block = codec::LastBlockFrame(bytes);
  if (!block.empty()) {
    Check(Framed(block, STX), "block frame is not STX ... ETX BCC");
    Check(linvo::fuzz::Contains(data, size, block.data(), block.size()),
          "block frame is not in the block");
  }
  const codec::Bytes built = codec::DataFrame(bytes);
  Check(codec::BccOk(built), "a built data frame fails the block check");
  if (std::find_if(data, data + size, [](uint8_t b) { return b == STX || b == ETX; }) ==
      data + size) {
    Check(codec::LastBlockFrame(built) == built, "a built data frame is not found whole");
    const codec::FrameSpan whole = codec::LastReadFrame(built);
    Check(whole.start == 0 && whole.size == built.size(), "a built data frame is not scanned");
  }
  codec::IsTwoPartHF(bytes);

  // Binary frames.
  const codec::Bytes undoubled = codec::Undouble(bytes);
  Check(undoubled.size() <= size, "undoubling grew the bytes");
  const codec::Bytes last = codec::LastBinaryFrame(bytes);
  if (!last.empty()) {
    Check(last.size() >= 5 && last[0] == SYN && last[1] == STX && last[last.size() - 3] == SYN &&
              last[last.size() - 2] == ETX,
          "binary frame is not SYN STX ... SYN ETX BCC");
    Check(codec::CheckBinaryFrame(last) != codec::FrameCheck::kMalformed,
          "a scanned binary frame is malformed");
  }
  const codec::Bytes wire = codec::BinaryFrame(bytes);
  const codec::Bytes frame = codec::Undouble(wire);
  Check(codec::CheckBinaryFrame(frame) == codec::FrameCheck::kValid,
        "a built binary frame does not check");
  Check(codec::Bytes(frame.begin() + 2, frame.end() - 3) == codec::Bytes(data, data + size),
        "undoubling does not give back the data");
  Check(codec::LastBinaryFrame(wire) == frame, "the scanner does not find a built binary frame");
  return 0;
}
