// The wire codec of both device protocols: control bytes, fixed messages, frame building, block
// checks and the scanners that pick frames out of received bytes. Pure functions over bytes (the
// only clock reading is Remaining's default "now"); the link primitives, the background workers
// and the device simulator all frame and check through this unit.
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

}  // namespace linvo::engine::codec
