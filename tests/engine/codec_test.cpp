#include "engine/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "support/virtual_device.h"

namespace linvo::engine::codec {
namespace {

using test::B;
using test::Hex;
using test::operator+;

std::string HexOf(ByteView bytes) { return Hex(test::Bytes(bytes.begin(), bytes.end())); }

TEST(CodecBuild, FramesOnTheWire) {
  EXPECT_EQ(HexOf(CommandFrame('S', '1', {})), "04 02 53 31 03 61");
  EXPECT_EQ(HexOf(CommandFrame('S', '1', B("AB"))), "04 02 53 31 41 42 03 62");
  EXPECT_EQ(HexOf(DataFrame(B("AB"))), "02 41 42 03 00");
  EXPECT_EQ(HexOf(DataFrame(B("1"))), "02 31 03 32");
  // The check byte 0x16 is not doubled; data 0x16 is.
  EXPECT_EQ(HexOf(BinaryFrame(B({0x01, 0x16, 0x02}))), "16 02 01 16 16 02 16 03 16");
  EXPECT_EQ(HexOf(BinaryFrame({})), "16 02 16 03 03");
  EXPECT_EQ(HexOf(kPoll), "04 05");
  EXPECT_EQ(HexOf(kSynAck), "16 06");
  EXPECT_EQ(HexOf(kSynNak), "16 15");
}

struct BccCase {
  const char* name;
  test::Bytes frame;
  bool ok;
};

class CodecBcc : public ::testing::TestWithParam<BccCase> {};

TEST_P(CodecBcc, LastByteAgainstTheWholeFrame) {
  EXPECT_EQ(BccOk(GetParam().frame), GetParam().ok);
  // A frame the codec built always checks.
  if (GetParam().ok) {
    EXPECT_EQ(CalcBcc(GetParam().frame), GetParam().frame.back());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecBcc,
    ::testing::Values(BccCase{"Good", DataFrame(B("AB")), true},
                      BccCase{"BccIsStx", DataFrame(B({0x01})), true},  // 01 ^ 03 = 02
                      BccCase{"BccIsEtx", DataFrame(B({0x00})), true},
                      BccCase{"BccIsSyn", DataFrame(B({0x15})), true},
                      BccCase{"Wrong", B({0x02, 'A', 0x03, 0x00}), false},
                      BccCase{"Empty", {}, false},
                      BccCase{"NoStx", B({'x', 0x00}), true}),  // nothing counted: 0
    [](const auto& info) { return info.param.name; });

// The two text scanners side by side: where they differ, the difference is the rule.
struct ScanCase {
  const char* name;
  test::Bytes bytes;
  const char* readFrame;   // LastReadFrame (a frame receive)
  const char* blockFrame;  // LastBlockFrame (the background data receive)
};

class CodecTextScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(CodecTextScan, LastFrame) {
  const ScanCase& c = GetParam();
  FrameSpan span = LastReadFrame(c.bytes);
  EXPECT_EQ(HexOf(ByteView(c.bytes).subspan(span.start, span.size)), c.readFrame);
  EXPECT_EQ(HexOf(LastBlockFrame(c.bytes)), c.blockFrame);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecTextScan,
    ::testing::Values(
        ScanCase{"Empty", {}, "", ""}, ScanCase{"GarbageOnly", B("noise"), "", ""},
        ScanCase{"GarbageBefore", B("zz") + DataFrame(B("1")), "02 31 03 32", "02 31 03 32"},
        ScanCase{"SecondOfTwo", DataFrame(B("1")) + DataFrame(B("22")), "02 32 32 03 03",
                 "02 32 32 03 03"},
        // A BCC that equals STX or ETX is the BCC, not a new frame.
        ScanCase{"BccIsStx", DataFrame(B({0x01})) + B("x"), "02 01 03 02", "02 01 03 02"},
        ScanCase{"BccIsEtx", DataFrame(B({0x00})), "02 00 03 03", "02 00 03 03"},
        // A later STX that begins no complete frame: the receive keeps the earlier frame, the
        // background scan drops it.
        ScanCase{"TrailingStart", DataFrame(B("1")) + B({0x02, 'x'}), "02 31 03 32", ""},
        ScanCase{"StxRestarts", B({0x02, 'a', 0x02, 'b', 0x03, 0x61}), "02 62 03 61",
                 "02 62 03 61"},
        // ETX as the very last byte: no BCC yet, no frame.
        ScanCase{"Truncated", B({0x02, '1', 0x03}), "", ""},
        ScanCase{"TruncatedAfterFrame", DataFrame(B("1")) + B({0x02, '2', 0x03}), "02 31 03 32",
                 ""},
        ScanCase{"EtxOutsideFrame", B({0x03, 0x03}) + DataFrame(B("1")), "02 31 03 32",
                 "02 31 03 32"}),
    [](const auto& info) { return info.param.name; });

TEST(CodecTextScan, BlockScanOfADeliveredFrameIsTheFrame) {
  for (const test::Bytes& frame :
       {DataFrame(B("1")), DataFrame(B({0x01})), DataFrame(B({0x00})), DataFrame({})}) {
    EXPECT_EQ(HexOf(LastBlockFrame(frame)), HexOf(frame));
  }
}

struct TwoPartCase {
  const char* name;
  test::Bytes frame;
  bool twoPart;
};

class CodecTwoPart : public ::testing::TestWithParam<TwoPartCase> {};

TEST_P(CodecTwoPart, ResponseAndStatusCodes) {
  EXPECT_EQ(IsTwoPartHF(GetParam().frame), GetParam().twoPart);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecTwoPart,
    ::testing::Values(TwoPartCase{"R05S02", DataFrame(B("005020")), true},
                      TwoPartCase{"R1AS02Data", DataFrame(B("01A02data")), true},
                      TwoPartCase{"R14S02", DataFrame(B("014020")), true},
                      TwoPartCase{"R0dLowerCase", DataFrame(B("00d020")), false},
                      TwoPartCase{"R03", DataFrame(B("003020")), false},
                      TwoPartCase{"S01", DataFrame(B("005010")), false},
                      // Exactly the layout (8 bytes) counts; shorter frames carry no codes.
                      TwoPartCase{"EightBytes", DataFrame(B("00202")), true},
                      TwoPartCase{"SevenBytes", DataFrame(B("0020")), false},
                      TwoPartCase{"SixBytes", DataFrame(B("002")), false},
                      TwoPartCase{"Empty", {}, false}),
    [](const auto& info) { return info.param.name; });

struct CheckCase {
  const char* name;
  test::Bytes frame;
  FrameCheck check;
};

class CodecBinaryCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CodecBinaryCheck, Classifies) {
  EXPECT_EQ(CheckBinaryFrame(GetParam().frame), GetParam().check);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecBinaryCheck,
    ::testing::Values(
        CheckCase{"Valid", B({0x16, 0x02, 0x41, 0x16, 0x03, 0x42}), FrameCheck::kValid},
        CheckCase{"EmptyData", B({0x16, 0x02, 0x16, 0x03, 0x03}), FrameCheck::kValid},
        CheckCase{"CheckIsSyn", B({0x16, 0x02, 0x15, 0x16, 0x03, 0x16}), FrameCheck::kValid},
        CheckCase{"BadCheck", B({0x16, 0x02, 0x41, 0x16, 0x03, 0x00}), FrameCheck::kBadCheck},
        CheckCase{"TooShort", B({0x16, 0x02, 0x16, 0x03}), FrameCheck::kMalformed},
        CheckCase{"NoStart", B({0x02, 0x41, 0x16, 0x03, 0x42}), FrameCheck::kMalformed},
        CheckCase{"NoEnd", B({0x16, 0x02, 0x41, 0x42, 0x03, 0x42}), FrameCheck::kMalformed},
        CheckCase{"SynAndByte", B({0x16, 0x41}), FrameCheck::kMalformed},
        CheckCase{"Empty", {}, FrameCheck::kMalformed}),
    [](const auto& info) { return info.param.name; });

TEST(CodecBinary, UndoublingAndBuildingRoundTrip) {
  EXPECT_EQ(HexOf(Undouble({})), "");
  EXPECT_EQ(HexOf(Undouble(B({0x16}))), "16");
  EXPECT_EQ(HexOf(Undouble(B({0x16, 0x16}))), "16");
  EXPECT_EQ(HexOf(Undouble(B({0x16, 0x16, 0x16}))), "16 16");
  EXPECT_EQ(HexOf(Undouble(B({0x41, 0x16, 0x16, 0x16, 0x16, 0x42}))), "41 16 16 42");
  for (const test::Bytes& data :
       {test::Bytes{}, B({0x16}), B({0x16, 0x16}), B({0x02, 0x16, 0x03}), B({0x15, 0x16, 0x06})}) {
    const Bytes frame = Undouble(BinaryFrame(data));
    ASSERT_EQ(CheckBinaryFrame(frame), FrameCheck::kValid) << Hex(data);
    EXPECT_EQ(Hex(test::Bytes(frame.begin() + 2, frame.end() - 3)), Hex(data));
  }
}

struct BinaryScanCase {
  const char* name;
  test::Bytes gathered;
  const char* frame;
};

class CodecBinaryScan : public ::testing::TestWithParam<BinaryScanCase> {};

TEST_P(CodecBinaryScan, LastCompleteFrameUndoubled) {
  EXPECT_EQ(HexOf(LastBinaryFrame(GetParam().gathered)), GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecBinaryScan,
    ::testing::Values(
        BinaryScanCase{"Empty", {}, ""},
        BinaryScanCase{"SecondOfABurst",
                       B({0x16, 0x02, 0x41, 0x16, 0x03, 0x42, 0x16, 0x02, 0x42, 0x16, 0x03, 0x41}),
                       "16 02 42 16 03 41"},
        BinaryScanCase{"DoubledSynInData", B({0x16, 0x02, 0x41, 0x16, 0x16, 0x16, 0x03, 0x54}),
                       "16 02 41 16 16 03 54"},
        BinaryScanCase{"DoubledSynAtTheEndOfData", BinaryFrame(B({0x41, 0x16})),
                       "16 02 41 16 16 03 54"},
        BinaryScanCase{"CheckByteIsSyn", BinaryFrame(B({0x01, 0x16, 0x02})),
                       "16 02 01 16 02 16 03 16"},
        BinaryScanCase{"GarbageBefore", B("zz") + BinaryFrame(B("A")), "16 02 41 16 03 42"},
        BinaryScanCase{"Truncated", B({0x16, 0x02, 0x41, 0x16, 0x03}), ""},
        // SYN and another byte inside a frame drops it.
        BinaryScanCase{"Interrupted", B({0x16, 0x02, 0x41, 0x16, 0x41, 0x16, 0x03, 0x42}), ""},
        BinaryScanCase{"TrailingPartOfNext", BinaryFrame(B("A")) + B({0x16, 0x02, 0x43}),
                       "16 02 41 16 03 42"}),
    [](const auto& info) { return info.param.name; });

// ---- receive scanners ----

// What a scanner decides over bytes that are all there when a receive begins, taken as the
// receive driver takes them: reads of at most Want() bytes, then the quiet line.
struct Scanned {
  std::size_t taken = 0;  // the bytes read; the rest stay on the line
  std::string by;         // "start", "read", "quiet", or "" when the receive goes on waiting
  std::string delivered;
};

Scanned Scan(ReceiveScanner& scanner, ByteView line) {
  if (scanner.Take({})) return {0, "start", HexOf(scanner.Delivered())};
  std::size_t at = 0;
  for (;;) {
    const std::size_t want = std::min(scanner.Want(), line.size() - at);
    if (want == 0) break;
    at += want;
    if (scanner.Take(line.subspan(at - want, want))) {
      return {at, "read", HexOf(scanner.Delivered())};
    }
  }
  if (scanner.Quiet()) return {at, "quiet", HexOf(scanner.Delivered())};
  return {at, "", ""};
}

struct ReceiveScanCase {
  const char* name;
  std::function<std::unique_ptr<ReceiveScanner>()> scanner;
  test::Bytes line;
  Scanned expected;
};

template <typename Scanner, typename... Args>
std::function<std::unique_ptr<ReceiveScanner>()> Make(Args... args) {
  return [=] { return std::make_unique<Scanner>(args...); };
}

class CodecReceiveScan : public ::testing::TestWithParam<ReceiveScanCase> {};

TEST_P(CodecReceiveScan, DecidesWhereTheReceiveEnds) {
  const ReceiveScanCase& c = GetParam();
  const Scanned got = Scan(*c.scanner(), c.line);
  EXPECT_EQ(got.taken, c.expected.taken);
  EXPECT_EQ(got.by, c.expected.by);
  EXPECT_EQ(got.delivered, c.expected.delivered);
}

const auto kAck = Make<TextReadScanner>(std::size_t{1}, false);
const auto kFrame = Make<TextReadScanner>(std::size_t{5120}, false);
const auto kBinaryAck = Make<BinaryReadScanner>(std::size_t{2});
const auto kBinary = Make<BinaryReadScanner>(std::size_t{64});

INSTANTIATE_TEST_SUITE_P(
    Text, CodecReceiveScan,
    ::testing::Values(
        ReceiveScanCase{
            "AckLeavesTheRest", kAck, B("xy") + B({0x15}) + B("rest"), {3, "read", "15"}},
        ReceiveScanCase{"AckNeverAtQuiet", kAck, B("xy"), {2, "", ""}},
        ReceiveScanCase{"FrameLastOfABurst",
                        kFrame,
                        B("noise") + DataFrame(B("1")) + DataFrame(B("22")) + B({0x02, 'x'}),
                        {16, "quiet", "02 32 32 03 03"}},
        ReceiveScanCase{"FrameFitsExactly",
                        Make<TextReadScanner>(std::size_t{4}, false),
                        DataFrame(B("1")),
                        {4, "quiet", "02 31 03 32"}},
        ReceiveScanCase{"FrameLongerThanTheBuffer",
                        Make<TextReadScanner>(std::size_t{10}, false),
                        DataFrame(B(std::string(20, 'x'))),
                        {23, "", ""}},
        ReceiveScanCase{"FrameWaitsForItsBcc", kFrame, B({0x02, '1', 0x03}), {3, "", ""}},
        // Without a time-out: the first quiet moment, no more than the buffer.
        ReceiveScanCase{"FirstQuietTakesWhatCame",
                        Make<TextReadScanner>(std::size_t{8}, true),
                        B("rest"),
                        {4, "quiet", "72 65 73 74"}},
        ReceiveScanCase{"FirstQuietFillsTheBuffer",
                        Make<TextReadScanner>(std::size_t{3}, true),
                        B("abcdef"),
                        {3, "quiet", "61 62 63"}},
        ReceiveScanCase{"FirstQuietOnASilentLine",
                        Make<TextReadScanner>(std::size_t{8}, true),
                        {},
                        {0, "quiet", ""}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    HF, CodecReceiveScan,
    ::testing::Values(ReceiveScanCase{"DeliveredAtItsBcc",
                                      Make<HFReadScanner>(std::size_t{5120}),
                                      B("zz") + DataFrame(B("0123456")) + B("NEXT"),
                                      {12, "read", HexOf(DataFrame(B("0123456")))}},
                      ReceiveScanCase{"StxStartsAnew",
                                      Make<HFReadScanner>(std::size_t{5120}),
                                      B({0x02, 'a', 0x02, 'b', 0x03, 0x61, 'z'}),
                                      {6, "read", "02 62 03 61"}},
                      ReceiveScanCase{"BccThatIsStx",
                                      Make<HFReadScanner>(std::size_t{5120}),
                                      DataFrame(B({0x01})) + B("x"),
                                      {4, "read", "02 01 03 02"}},
                      ReceiveScanCase{"EtxOutsideAFrame",
                                      Make<HFReadScanner>(std::size_t{5120}),
                                      B({0x03, 'A'}) + DataFrame(B("1")),
                                      {6, "read", "02 31 03 32"}},
                      ReceiveScanCase{"LimitReachedInAFrame",
                                      Make<HFReadScanner>(std::size_t{4}),
                                      B({0x02, 'a', 'b', 'c', 'd', 'e'}),
                                      {4, "", ""}},
                      ReceiveScanCase{"NoiseOnly",
                                      Make<HFReadScanner>(std::size_t{5120}),
                                      B("noise"),
                                      {5, "", ""}}),
    [](const auto& info) { return info.param.name; });

// The SYN patterns of the binary receive.
INSTANTIATE_TEST_SUITE_P(
    Binary, CodecReceiveScan,
    ::testing::Values(
        ReceiveScanCase{
            "AckLeavesTheRest", kBinaryAck, B({0x16, 0x06, 0x99}), {2, "read", "16 06"}},
        ReceiveScanCase{
            "AckAfterOtherBytes", kBinaryAck, B({0x41, 0x16, 0x15}), {3, "read", "16 15"}},
        ReceiveScanCase{
            "AckAfterADoubledSyn", kBinaryAck, B({0x16, 0x16, 0x06}), {3, "read", "16 06"}},
        ReceiveScanCase{"AckNotSynStx", kBinaryAck, B({0x16, 0x02}), {2, "", ""}},
        ReceiveScanCase{"AckTakesNoFrame", kBinaryAck, BinaryFrame(B("A")), {6, "", ""}},
        ReceiveScanCase{
            "SynAndOrdinaryByteAtOnce", kBinary, B({0x16, 0x41, 0x16, 0x02}), {2, "read", "16 41"}},
        ReceiveScanCase{"SynAndOrdinaryByteAfterNoise",
                        kBinary,
                        B("zz") + B({0x16, 0x41, 0x33}),
                        {4, "read", "16 41"}},
        ReceiveScanCase{
            "SynAfterSynStartsNoMessage", kBinary, B({0x7A, 0x16, 0x16, 0x41}), {4, "", ""}},
        ReceiveScanCase{"SynAndControlIsNoMessage", kBinary, B({0x16, 0x15}), {2, "", ""}},
        ReceiveScanCase{
            "FrameAtQuiet", kBinary, BinaryFrame(B("A")), {6, "quiet", "16 02 41 16 03 42"}},
        ReceiveScanCase{"LastFrameOfABurst",
                        kBinary,
                        B({0x16, 0x02, 0x41, 0x16, 0x03, 0x42, 0x16, 0x02, 0x42, 0x16, 0x03, 0x41}),
                        {12, "quiet", "16 02 42 16 03 41"}},
        ReceiveScanCase{"FrameUndoubled",
                        kBinary,
                        B({0x16, 0x02, 0x41, 0x16, 0x16, 0x16, 0x03, 0x54}),
                        {8, "quiet", "16 02 41 16 16 03 54"}},
        // Once a frame has begun, SYN and an ordinary byte no longer end the receive at once.
        ReceiveScanCase{"FrameBegunKeepsGoing",
                        kBinary,
                        BinaryFrame(B("A")) + B({0x16, 0x43}),
                        {8, "quiet", "16 02 41 16 03 42"}},
        ReceiveScanCase{"FrameTruncated", kBinary, B({0x16, 0x02, 0x41, 0x16, 0x03}), {5, "", ""}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Raw, CodecReceiveScan,
    ::testing::Values(
        ReceiveScanCase{"CountCompletes",
                        Make<RawReadScanner>(std::size_t{4}),
                        B("abcdef"),
                        {4, "read", "61 62 63 64"}},
        ReceiveScanCase{"QuietAfterSome",
                        Make<RawReadScanner>(std::size_t{10}),
                        B("ab"),
                        {2, "quiet", "61 62"}},
        ReceiveScanCase{"SilentLine", Make<RawReadScanner>(std::size_t{10}), {}, {0, "", ""}},
        ReceiveScanCase{
            "NothingWanted", Make<RawReadScanner>(std::size_t{0}), B("ab"), {0, "start", ""}}),
    [](const auto& info) { return info.param.name; });

// A device that streams without pause: the text and binary receives keep the newer half once
// they hold more than they may, and a frame at the end of the stream is still found.
TEST(CodecReceiveScan, StreamsAreBounded) {
  const test::Bytes stream(kMaxGather + 1, 'x');
  TextReadScanner text(std::size_t{5120}, false);
  EXPECT_FALSE(text.Take(stream));
  EXPECT_EQ(text.Gathered().size(), kMaxGather / 2);
  EXPECT_FALSE(text.Take(DataFrame(B("ok"))));
  ASSERT_TRUE(text.Quiet());
  EXPECT_EQ(HexOf(text.Delivered()), HexOf(DataFrame(B("ok"))));

  BinaryReadScanner binary(64);
  for (uint8_t byte : stream) ASSERT_FALSE(binary.Take(ByteView(&byte, 1)));
  EXPECT_EQ(binary.Gathered().size(), kMaxGather / 2);
  for (uint8_t byte : BinaryFrame(B("ok"))) ASSERT_FALSE(binary.Take(ByteView(&byte, 1)));
  ASSERT_TRUE(binary.Quiet());
  EXPECT_EQ(HexOf(binary.Delivered()), HexOf(Undouble(BinaryFrame(B("ok")))));
}

TEST(CodecTime, RemainingCountsToJustPastTheTimeOut) {
  struct Case {
    uint32_t mark, now;
    int32_t timeout;
    int remaining;
  };
  for (const Case& c : {Case{100, 100, 50, 51}, Case{100, 140, 50, 11}, Case{100, 150, 50, 1},
                        Case{100, 151, 50, 1}, Case{100, 400, 50, 1}, Case{0xFFFFFFF0u, 5, 50, 30},
                        Case{7, 7, 0, 1}}) {
    EXPECT_EQ(Remaining(c.mark, c.timeout, c.now), c.remaining)
        << c.mark << " " << c.now << " " << c.timeout;
  }
}

}  // namespace
}  // namespace linvo::engine::codec
