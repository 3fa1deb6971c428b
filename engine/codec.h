// The wire codec of both device protocols: control bytes, fixed messages, frame building, block
// checks, the scanners that pick frames out of received bytes and those that decide when a
// receive is complete. Pure functions over bytes (the only clock readings are the default "now"
// of Remaining and Elapsed); the link primitives, the background workers and the device
// simulator all frame and check through this unit.
//
// Text protocol: command frame EOT STX c1 c2 parameters ETX BCC, data frame STX data ETX BCC, no
// escaping; the BCC is the XOR of the bytes after the first STX through the first ETX after it.
// Binary protocol: SYN STX data SYN ETX BCC with every data byte 0x16 doubled; the BCC is the XOR
// of the undoubled data, XORed with ETX, and is never doubled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace linvo::engine::codec {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Control bytes.
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t EOT = 0x04;
inline constexpr uint8_t ENQ = 0x05;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;
inline constexpr uint8_t SYN = 0x16;

// Fixed messages.
inline constexpr uint8_t kPoll[] = {EOT, ENQ};
inline constexpr uint8_t kAckMessage[] = {ACK};
inline constexpr uint8_t kNakMessage[] = {NAK};
inline constexpr uint8_t kSynAck[] = {SYN, ACK};
inline constexpr uint8_t kSynNak[] = {SYN, NAK};

// A received frame counts as complete once the line has been quiet this long.
inline constexpr int kQuietGapMs = 1;

// A text frame receive keeps at most this many bytes of a burst that never goes quiet: past it
// the older half is dropped, so that a device that streams without pause cannot exhaust memory.
// A frame is only delivered if it fits the caller's buffer; a longer one is never complete for
// the caller, and the receive ends at its time-out.
inline constexpr std::size_t kMaxGather = 64 * 1024;

// The HF frame layout: STX, reserve, response code (2), status code (2), data, ETX, BCC.
inline constexpr std::size_t kHFHeaderSize = 8;

// Trace texts that precede the dump of the bytes gathered by a failed receive.
inline constexpr std::string_view kErrorDumpText = "[Error]Dump Receive Data";
inline constexpr std::string_view kErrorDumpBinaryText =
    "[Error]Dump Receive Data(Including Control Code in Data)";

// ---- time ---------------------------------------------------------------------------------------

// Milliseconds left until more than `timeout` ms have passed since `mark` (at least 1, so that a
// wait always gives the line one more look); tick differences are taken as unsigned.
int Remaining(uint32_t mark, int32_t timeout, uint32_t now = platform::TickCount());
// Milliseconds since `mark`, taken as unsigned.
inline uint32_t Elapsed(uint32_t mark, uint32_t now = platform::TickCount()) { return now - mark; }

// ---- text protocol ------------------------------------------------------------------------------

// XOR of the bytes after the first STX up to and including the first ETX after it; every STX is
// skipped (a later one does not reset the value); without an ETX all bytes after the STX count;
// bytes before the first STX are ignored.
uint8_t CalcBcc(ByteView bytes);
// A frame whose last byte is the BCC of the whole frame (never for an empty frame).
bool BccOk(ByteView frame);
// EOT STX c1 c2 parameter ETX BCC.
Bytes CommandFrame(char c1, char c2, ByteView parameter);
// STX data ETX BCC.
Bytes DataFrame(ByteView data);

// Where a frame sits in a burst; size 0 when there is none.
struct FrameSpan {
  std::size_t start = 0;
  std::size_t size = 0;
};

// The frame a frame receive delivers once the line is quiet: scanning up to the second-to-last
// byte, an STX marks a candidate start (a later STX replaces it) and an ETX after a candidate
// completes the frame with the byte after it (the BCC, whatever its value); the scan continues
// after the BCC and the last completed frame wins. A trailing STX that begins no complete frame
// leaves the earlier frame in place.
FrameSpan LastReadFrame(ByteView burst);

// The frame a background data receive keeps of a received block: an STX starts a frame and
// drops what came before (a complete frame included), inside a frame every byte is kept, and an
// ETX with the byte after it completes the frame; bytes outside a frame are skipped. Unlike
// LastReadFrame, a block that ends inside a frame begun after the last complete one, or whose
// last byte is an ETX, yields nothing. On a block that LastReadFrame delivered (STX first, no
// STX or ETX before its final ETX BCC) both agree: the block itself.
Bytes LastBlockFrame(ByteView block);

// Whether the first frame of an HF reply announces a second one: its response code (offsets 2
// and 3) is one of "02" "05" "07" "0D" "14" "16" "18" "1A" and its status code (offsets 4 and 5)
// is "02". Frames shorter than the HF layout (kHFHeaderSize) carry no codes and never do. (Every
// frame an HF receive delivers has ETX at n - 2, which rules out a match at lengths 6 and 7
// anyway: a guard of 6 and one of 8 give the same answers on such frames.)
bool IsTwoPartHF(ByteView frame);

// ---- binary protocol ----------------------------------------------------------------------------

// SYN, STX, ETX, ACK, NAK: bytes that a SYN before them turns into a control code.
bool IsBinaryControl(uint8_t byte);
// XOR of the data bytes, XORed with ETX.
uint8_t BinaryCheck(ByteView data);
// SYN STX data (each 0x16 doubled) SYN ETX BCC.
Bytes BinaryFrame(ByteView data);
// Each pair 0x16 0x16 becomes one 0x16, left to right; a lone 0x16 stays.
Bytes Undouble(ByteView bytes);

enum class FrameCheck { kValid, kBadCheck, kMalformed };
// An undoubled frame of n bytes is well-formed when n >= 5, byte 0 is SYN, byte 1 STX, byte
// n - 3 SYN and byte n - 2 ETX; it is valid when byte n - 1 is the BinaryCheck of bytes 2 to
// n - 4 (its data part).
FrameCheck CheckBinaryFrame(ByteView frame);

// The last complete binary frame of gathered bytes, undoubled, with its BCC; empty when none.
// Scanning i while i < m - 2: SYN STX starts a frame; SYN ETX inside a frame ends it; SYN SYN
// inside a frame is one data byte (both are skipped); SYN followed by anything else drops the
// frame being gathered. A completed frame is copied undoubled with the byte after its ETX and
// replaces any earlier one; the scan goes on after that byte.
Bytes LastBinaryFrame(ByteView gathered);

// ---- receive scanners ---------------------------------------------------------------------------

// What decides that a receive is complete. The receive reads what the line has, at most Want()
// bytes at a time, and hands every read to Take; whenever the line has been quiet for the gap
// (kQuietGapMs) it asks Quiet. Either answers true once the receive is complete, and
// Delivered() is then what it delivers. The scanner keeps the bytes that still count
// (Gathered(), which the receive's trace dumps) and may drop older ones, so that a device that
// streams without pause cannot exhaust memory. A scanner that must leave the bytes after its
// frame on the line for the next receive wants them one at a time.
class ReceiveScanner {
 public:
  virtual ~ReceiveScanner() = default;
  // How many bytes the next read may take; 0: none (the receive then only waits for its
  // time-out or a stop request).
  virtual std::size_t Want() const = 0;
  // Takes the bytes of a read (at most Want()); true when they complete the receive. Taking no
  // bytes asks whether a receive is complete before it reads anything (one that wants none).
  virtual bool Take(ByteView bytes) = 0;
  // The line is quiet: true when the gathered bytes complete the receive.
  virtual bool Quiet() = 0;
  // What the complete receive delivers.
  virtual ByteView Delivered() const = 0;
  ByteView Gathered() const { return m_gathered; }

 protected:
  Bytes m_gathered;
};

// The text receive (ReadComm). Capacity 1 is the acknowledgement read: bytes are taken one at a
// time and an ACK or NAK completes the receive with that byte (the bytes after it stay on the
// line). Otherwise, once the line is quiet, the last frame of what was gathered (LastReadFrame)
// completes it if it fits the capacity. With `firstQuiet` (a receive without a time-out) the
// first quiet moment completes it with all that came, and no more than the capacity is taken.
// At most kMaxGather bytes are kept.
class TextReadScanner final : public ReceiveScanner {
 public:
  TextReadScanner(std::size_t capacity, bool firstQuiet)
      : m_capacity(capacity), m_ackMode(capacity == 1), m_firstQuiet(firstQuiet) {}
  std::size_t Want() const override;
  bool Take(ByteView bytes) override;
  bool Quiet() override;
  ByteView Delivered() const override;

 private:
  const std::size_t m_capacity;
  const bool m_ackMode;
  const bool m_firstQuiet;
  FrameSpan m_delivered;
};

// The HF frame receive (ReadCommHF): bytes one at a time, holding at most `limit` of them. An STX
// starts a frame and drops what came before it (inside a frame, a later STX starts it anew), an
// ETX inside a frame is followed by the BCC, and that byte completes the frame: the bytes after
// it stay on the line. Once `limit` bytes are held without a complete frame, no more are taken
// and the receive waits for its time-out.
class HFReadScanner final : public ReceiveScanner {
 public:
  explicit HFReadScanner(std::size_t limit) : m_limit(limit) {}
  std::size_t Want() const override;
  bool Take(ByteView bytes) override;
  bool Quiet() override;
  ByteView Delivered() const override { return m_gathered; }

 private:
  // STX first and ETX before the last byte.
  bool Framed() const;

  const std::size_t m_limit;
  enum class State { kHunting, kInFrame, kAfterEtx } m_state = State::kHunting;
};

// The binary receive (ReadCommForBinary): bytes one at a time; SYN patterns complete it.
//  - Capacity 2 is the acknowledgement read: SYN and then a byte other than STX, ETX or SYN
//    complete it with those two bytes (the bytes after them stay on the line).
//  - Otherwise SYN and then an ordinary byte (no binary control, IsBinaryControl) complete it
//    with those two bytes, as long as no frame has begun: SYN STX begins one, for the rest of
//    the receive. A SYN that follows a SYN (a doubled data byte) starts no pattern.
//  - Once the line is quiet, the last complete frame of what was gathered (LastBinaryFrame,
//    undoubled; not for capacity 2) completes it; else all that was gathered completes it when
//    it begins with SYN and an ordinary byte.
// At most max(kMaxGather, 4 * (capacity + 5)) bytes are kept.
class BinaryReadScanner final : public ReceiveScanner {
 public:
  explicit BinaryReadScanner(std::size_t capacity);
  std::size_t Want() const override { return 1; }
  bool Take(ByteView bytes) override;
  bool Quiet() override;
  ByteView Delivered() const override { return m_delivered; }

 private:
  bool TakeByte(uint8_t byte);

  const bool m_ackMode;
  const std::size_t m_maxGather;
  bool m_inFrame = false;
  Bytes m_delivered;
};

// The raw receive (ReadCommForUnformattedBinary): up to `count` bytes as they come; the count
// completes it, and so does the quiet line once any byte came.
class RawReadScanner final : public ReceiveScanner {
 public:
  explicit RawReadScanner(std::size_t count) : m_count(count) {}
  std::size_t Want() const override { return m_count - m_gathered.size(); }
  bool Take(ByteView bytes) override;
  bool Quiet() override { return !m_gathered.empty(); }
  ByteView Delivered() const override { return m_gathered; }

 private:
  const std::size_t m_count;
};

}  // namespace linvo::engine::codec
