#include "support/port_fixture.h"

namespace linvo::engine {
namespace {

using test::B;
using test::BinaryFrame;
using test::Bytes;
using test::Hex;
using test::VirtualDevice;
using test::operator+;

const Bytes kSynAck = B({0x16, 0x06});
const Bytes kSynNak = B({0x16, 0x15});
constexpr auto kBinary = VirtualDevice::Framing::kBinary;

class Binary : public test::VirtualPortTest {
 protected:
  std::pair<Result, Bytes> ReadBinary(int capacity, int32_t timeout) {
    Bytes buffer(static_cast<std::size_t>(capacity));
    int length = capacity;
    Result r = m_port->ReadCommForBinary(buffer.data(), &length, timeout, 0);
    buffer.resize(r == 0 ? static_cast<std::size_t>(length) : 0);
    return {r, buffer};
  }
  // SendBinaryCommandRR of `data` with retry 2; returns {code, reply}.
  std::pair<Result, Bytes> CommandRR(const Bytes& data, int16_t retry = 2, int16_t capacity = 64) {
    Bytes reply(static_cast<std::size_t>(capacity));
    int16_t length = -1;
    Result r = m_port->SendBinaryCommandRR("lvoSendBinaryCommandRR", 40, retry, 0, 0, data.data(),
                                           static_cast<int16_t>(data.size()), 40, reply.data(),
                                           capacity, &length);
    reply.resize(static_cast<std::size_t>(std::max<int16_t>(length, 0)));
    return {r, reply};
  }
};

TEST_F(Binary, FrameEscapingOnTheWire) {
  VirtualDevice device(
      m_peer, [](const Bytes&, int) { return kSynAck; }, kBinary);
  const Bytes data = B({0x01, 0x16, 0x02});
  EXPECT_EQ(m_port->SendBinaryCommand("lvoSendBinaryCommand", 100, 0, 0, 0, data.data(), 3), 2);
  EXPECT_EQ(Hex(device.Messages().at(0)), "16 02 01 16 16 02 16 03 16");
  EXPECT_EQ(NewTrace().rbegin()[2], "Info    |Return Value is 2");
}

TEST_F(Binary, ReportIsUndoubled) {
  m_peer->Write(B({0x16, 0x02, 0x41, 0x16, 0x16, 0x16, 0x03, 0x54}));
  Bytes reply(64);
  int16_t length = 0;
  EXPECT_EQ(m_port->ReceiveBinaryReport("lvoReceiveBinaryReport", 100, 0, 0, 0, reply.data(), 64,
                                        &length),
            0);
  reply.resize(static_cast<std::size_t>(length));
  EXPECT_EQ(Hex(reply), "41 16");
  EXPECT_EQ(Hex(m_peer->ReadAll()), "16 06");
}

TEST_F(Binary, LastFrameOfABurstWins) {
  m_peer->Write(B({0x16, 0x02, 0x41, 0x16, 0x03, 0x42, 0x16, 0x02, 0x42, 0x16, 0x03, 0x41}));
  auto [r, bytes] = ReadBinary(64, 100);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), "16 02 42 16 03 41");
}

TEST_F(Binary, AcknowledgementRead) {
  m_peer->Write(B({0x16, 0x06, 0x99}));
  auto [r, bytes] = ReadBinary(2, 100);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), "16 06");
  EXPECT_EQ(Hex(m_peer->ReadAll()), "") << "nothing was sent";
  auto [r2, rest] = ReadBinary(2, 20);
  EXPECT_EQ(r2, 110) << "the byte after the acknowledgement stayed and ends nothing";
  // SYN STX does not end an acknowledgement read.
  m_peer->Write(B({0x16, 0x02}));
  EXPECT_EQ(ReadBinary(2, 20).first, 110);
}

TEST_F(Binary, SynAndOrdinaryByteIsAMessageAtOnce) {
  m_peer->Write(B({0x16, 0x41, 0x16, 0x02}));
  auto [r, bytes] = ReadBinary(64, 100);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), "16 41");
}

struct CommandCase {
  const char* name;
  std::function<Bytes(const Bytes&, int)> device;
  Result result;
  std::vector<Bytes> hostMessages;  // after the first command frame
};

TEST_F(Binary, SendBinaryCommandRRSilentDevice) {
  VirtualDevice device(
      m_peer, [](const Bytes&, int) { return Bytes{}; }, kBinary);
  EXPECT_EQ(CommandRR(B({0x31})).first, 110);
  EXPECT_EQ(device.Messages().size(), 3u);
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 110: Timeout Error");
}

TEST_F(Binary, SendBinaryCommandRRNakedEveryTime) {
  VirtualDevice device(
      m_peer, [](const Bytes&, int) { return kSynNak; }, kBinary);
  EXPECT_EQ(CommandRR(B({0x31})).first, 3);
  EXPECT_EQ(device.Messages().size(), 3u);
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 3: NAK Response");
}

TEST_F(Binary, SendBinaryCommandRRWrongCheckAlways) {
  VirtualDevice device(
      m_peer,
      [](const Bytes& m, int) {
        return m == kSynNak ? BinaryFrame(B("rep"), 0x01)
                            : (m == kSynAck ? Bytes{} : kSynAck + BinaryFrame(B("rep"), 0x01));
      },
      kBinary);
  auto [r, reply] = CommandRR(B({0x31}));
  EXPECT_EQ(r, 120);
  std::vector<Bytes> m = device.Messages();
  ASSERT_EQ(m.size(), 3u) << "the command and two SYN NAKs";
  EXPECT_EQ(m[1], kSynNak);
  EXPECT_EQ(m[2], kSynNak);
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 120: BCC Retry Error");
}

TEST_F(Binary, SendBinaryCommandRRGarbledAnswersAreBounded) {
  VirtualDevice device(
      m_peer,
      [](const Bytes&, int) {
        return B({0x16, 0x41});
      },
      kBinary);
  EXPECT_EQ(CommandRR(B({0x31})).first, 110);
  EXPECT_EQ(device.Messages().size(), 3u);
}

TEST_F(Binary, SendBinaryCommandRRGoodReport) {
  VirtualDevice device(
      m_peer,
      [](const Bytes& m, int) {
        return m == kSynAck ? Bytes{} : kSynAck + BinaryFrame(B({0x16, 7}));
      },
      kBinary);
  auto [r, reply] = CommandRR(B({0x31}));
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(reply), "16 07");
  ASSERT_TRUE(device.WaitMessages(2));
  EXPECT_EQ(device.Messages()[1], kSynAck);
}

TEST_F(Binary, ReportRetryCounting) {
  {
    // Retry 2: the second bad report ends it, after one SYN NAK.
    VirtualDevice device(
        m_peer, [](const Bytes&, int) { return BinaryFrame(B("x"), 1); }, kBinary);
    m_peer->Write(BinaryFrame(B("x"), 1));
    Bytes reply(16);
    int16_t length = 0;
    EXPECT_EQ(m_port->ReceiveBinaryReport("lvoReceiveBinaryReport", 40, 2, 0, 0, reply.data(), 16,
                                          &length),
              120);
    EXPECT_EQ(device.Messages(), std::vector<Bytes>{kSynNak});
  }
  // Retry 0 with a block that is no frame: 120 at once, nothing sent.
  m_peer->Write(B({0x16, 0x41}));
  Bytes reply(16);
  int16_t length = 0;
  EXPECT_EQ(
      m_port->ReceiveBinaryReport("lvoReceiveBinaryReport", 40, 0, 0, 0, reply.data(), 16, &length),
      120);
  EXPECT_EQ(Hex(m_peer->ReadAll()), "");
}

TEST_F(Binary, ReportTooBigForTheBuffer) {
  // Capacity 4: a frame of 4 + 5 bytes is too big; capacity - 1 data bytes fit.
  m_peer->Write(BinaryFrame(B("abcd")));
  Bytes reply(4);
  int16_t length = 0;
  EXPECT_EQ(
      m_port->ReceiveBinaryReport("lvoReceiveBinaryReport", 40, 0, 0, 0, reply.data(), 4, &length),
      130);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(reply, B("abcd"));
  EXPECT_EQ(Hex(m_peer->ReadAll()), "") << "no ACK or NAK for an oversized report";
  m_peer->Write(BinaryFrame(B("abc")));
  EXPECT_EQ(
      m_port->ReceiveBinaryReport("lvoReceiveBinaryReport", 40, 0, 0, 0, reply.data(), 4, &length),
      0);
  EXPECT_EQ(length, 3);
}

TEST_F(Binary, RawReceive) {
  Bytes buffer(10);
  int16_t length = 0;
  m_peer->Write(B("four"));
  EXPECT_EQ(m_port->ReceiveBinaryData("lvoReceiveBinaryData", 40, 0, buffer.data(), 10, &length),
            0);
  EXPECT_EQ(length, 4);
  m_peer->Write(B("0123456789AB"));
  EXPECT_EQ(m_port->ReceiveBinaryData("lvoReceiveBinaryData", 40, 0, buffer.data(), 10, &length),
            130);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(buffer, B("0123456789"));
  EXPECT_EQ(m_port->ReceiveBinaryData("lvoReceiveBinaryData", 40, 0, buffer.data(), 10, &length),
            0);
  EXPECT_EQ(length, 2) << "the rest stays for the next read";
  EXPECT_EQ(m_port->ReceiveBinaryData("lvoReceiveBinaryData", 20, 0, buffer.data(), 10, &length),
            110);
}

TEST_F(Binary, RawSendAndRefusals) {
  const Bytes data = B({0x16, 0x02, 0x00});
  EXPECT_EQ(m_port->SendBinaryData("lvoSendBinaryData", 100, 0, 0, data.data(), 3), 0);
  EXPECT_EQ(Hex(m_peer->ReadAll()), "16 02 00") << "raw bytes are not escaped";
  EXPECT_EQ(m_port->SendBinaryData("lvoSendBinaryData", -1, 0, 0, data.data(), 3), 100);
  EXPECT_EQ(m_port->SendBinaryData("lvoSendBinaryData", 100, 0, 0, data.data(), 0), 100);
  EXPECT_EQ(m_port->SendBinaryCommand("lvoSendBinaryCommand", 100, -1, 0, 0, data.data(), 3), 100);
}

TEST_F(Binary, SendBinaryCommandRepeatsOrAsksAgain) {
  // NAK: the frame again; garbled: SYN NAK; then ACK.
  VirtualDevice device(
      m_peer,
      [](const Bytes&, int i) {
        return i == 0 ? kSynNak : i == 1 ? B({0x16, 0x41}) : kSynAck;
      },
      kBinary);
  const Bytes data = B({0x05});
  EXPECT_EQ(m_port->SendBinaryCommand({"lvoSendBinaryCommandRR", Bracket::kOpens}, 100, 2, 0, 0,
                                      data.data(), 1),
            2);
  std::vector<Bytes> m = device.Messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[1], m[0]);
  EXPECT_EQ(m[2], kSynNak);
  // A chained call leaves the bracket open after the acknowledgement.
  EXPECT_EQ(NewTrace().back(), "Info    |End ReadCommForBinary Method");
}

}  // namespace
}  // namespace linvo::engine
