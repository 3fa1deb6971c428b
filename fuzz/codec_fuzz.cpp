// The wire codec on any bytes: the frame scanners deliver frames taken from the bytes they were
// given, undoubling inverts the doubling of a binary frame, frames the codec builds pass its own
// checks, and the receive scanners end a receive only where the protocols say and deliver what
// the line carried (the first byte, when there is one, sets their capacities).
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

bool IsAckOrNak(uint8_t b) { return b == 0x06 || b == 0x15; }

// A receive over a line that carries `line` whole from the start, as the receive driver takes
// it: reads of at most Want() bytes, then the quiet line.
struct Scan {
  std::size_t taken = 0;
  bool byRead = false;
  bool complete = false;
  codec::Bytes delivered;
};

Scan Run(codec::ReceiveScanner& scanner, codec::ByteView line) {
  Scan scan;
  if (scanner.Take({})) {
    scan.complete = true;
  } else {
    for (;;) {
      const std::size_t want = std::min(scanner.Want(), line.size() - scan.taken);
      if (want == 0) break;
      Check(scanner.Gathered().size() <= scan.taken, "a scanner gathered bytes it was not given");
      scan.taken += want;
      if (scanner.Take(line.subspan(scan.taken - want, want))) {
        scan.complete = scan.byRead = true;
        break;
      }
    }
    if (!scan.complete) scan.complete = scanner.Quiet();
  }
  if (scan.complete) {
    const codec::ByteView d = scanner.Delivered();
    scan.delivered.assign(d.begin(), d.end());
  }
  return scan;
}

// Whether `part` ends the first `taken` bytes of the line.
bool EndsTaken(codec::ByteView line, std::size_t taken, const codec::Bytes& part) {
  return part.size() <= taken &&
         std::equal(part.begin(), part.end(), line.begin() + (taken - part.size()));
}

void CheckReceiveScanners(const uint8_t* data, size_t size) {
  // 1..256 bytes; the text and binary reads get 2 and 3 more, as capacities of 1 (text) and 2
  // (binary) select their acknowledgement reads.
  const std::size_t capacity = size > 0 ? 1 + data[0] : 5120;
  const codec::ByteView line(data, size);

  // Acknowledgement read: the first ACK or NAK, the bytes after it left on the line.
  codec::TextReadScanner ack(1, false);
  const Scan a = Run(ack, line);
  const uint8_t* firstAck = std::find_if(data, data + size, IsAckOrNak);
  Check(a.complete == (firstAck != data + size), "ACK read missed or invented an ACK/NAK");
  if (a.complete) {
    Check(a.byRead && a.taken == static_cast<std::size_t>(firstAck - data) + 1 &&
              a.delivered == codec::Bytes{*firstAck},
          "ACK read did not end at the first ACK/NAK");
  }
  // Frame read: a whole frame from the line that fits the buffer, only once the line is quiet.
  codec::TextReadScanner frame(capacity + 1, false);
  const Scan f = Run(frame, line);
  Check(!f.byRead, "a frame read ended before the line was quiet");
  if (f.complete) {
    Check(Framed(f.delivered, STX) && f.delivered.size() <= capacity + 1,
          "frame read delivered no frame that fits");
    Check(linvo::fuzz::Contains(data, size, f.delivered.data(), f.delivered.size()),
          "frame read delivered bytes the line did not carry");
  }
  // Without a time-out: what came first, as much as fits.
  codec::TextReadScanner raw(capacity, true);
  const Scan r = Run(raw, line);
  Check(r.complete && r.delivered == codec::Bytes(data, data + std::min(size, capacity)),
        "a read without time-out did not deliver the line's first bytes");
  // HF: ends at the BCC of its frame, leaving what follows on the line; the limit bounds the
  // frame being gathered (an STX starts it anew).
  codec::HFReadScanner hf(capacity);
  const Scan h = Run(hf, line);
  Check(hf.Gathered().size() <= capacity, "HF read holds more than its limit");
  if (h.complete) {
    Check(h.byRead && Framed(h.delivered, STX) && EndsTaken(line, h.taken, h.delivered),
          "HF read did not end at the BCC of a frame on the line");
  }
  // Binary acknowledgement: SYN and a byte other than STX, ETX or SYN, at once.
  codec::BinaryReadScanner binaryAck(2);
  const Scan ba = Run(binaryAck, line);
  if (ba.byRead) {
    Check(ba.delivered.size() == 2 && ba.delivered[0] == SYN && ba.delivered[1] != STX &&
              ba.delivered[1] != ETX && ba.delivered[1] != SYN &&
              EndsTaken(line, ba.taken, ba.delivered),
          "binary acknowledgement read ended on no SYN pair");
  }
  // Binary report: a SYN message at once, or once quiet a frame whose doubled form the line
  // carried (or a block that begins with a SYN message).
  codec::BinaryReadScanner binary(capacity + 2);
  const Scan b = Run(binary, line);
  if (b.byRead) {
    Check(b.delivered.size() == 2 && b.delivered[0] == SYN &&
              !codec::IsBinaryControl(b.delivered[1]) && EndsTaken(line, b.taken, b.delivered),
          "binary read ended on no SYN message");
  } else if (b.complete && codec::CheckBinaryFrame(b.delivered) != codec::FrameCheck::kMalformed) {
    const codec::Bytes& d = b.delivered;
    codec::Bytes wire = codec::BinaryFrame({d.data() + 2, d.size() - 5});
    wire.back() = d.back();
    Check(linvo::fuzz::Contains(data, size, wire.data(), wire.size()),
          "binary frame does not double back to bytes on the line");
  } else if (b.complete) {
    Check(
        b.delivered.size() >= 2 && b.delivered[0] == SYN && !codec::IsBinaryControl(b.delivered[1]),
        "binary read delivered neither a frame nor a SYN message");
  }
  // Raw: the line's first bytes, up to the count.
  codec::RawReadScanner count(capacity);
  const Scan c = Run(count, line);
  Check(c.complete == (size > 0) &&
            c.delivered == codec::Bytes(data, data + std::min(size, capacity)),
        "raw read did not deliver the line's first bytes");
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

  CheckReceiveScanners(data, size);
  return 0;
}
