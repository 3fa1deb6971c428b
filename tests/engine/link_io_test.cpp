#include <future>

#include "platform/clock.h"
#include "support/port_fixture.h"

namespace linvo::engine {
namespace {

using test::B;
using test::Bytes;
using test::Frame;
using test::Hex;
using test::operator+;
using test::VirtualPortTest;

struct BccCase {
  Bytes bytes;
  uint8_t bcc;
};

class CalcBccTable : public ::testing::TestWithParam<BccCase> {};

TEST_P(CalcBccTable, XorAfterStxThroughEtx) {
  uint8_t bcc = 0xEE;
  const Bytes& b = GetParam().bytes;
  EXPECT_EQ(CCommPort::CalcBCC(b.data(), static_cast<int>(b.size()), &bcc), 1);
  EXPECT_EQ(bcc, GetParam().bcc);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CalcBccTable,
    ::testing::Values(BccCase{B({0x02, 'A', 'B', 0x03}), 0x00}, BccCase{B({0x02, '1', 0x03}), 0x32},
                      BccCase{B({0x04, 0x02, 'S', '1', 0x03}), 0x61},  // bytes before STX skipped
                      BccCase{B({0x02, 'A', 0x02, 'B', 0x03, 'Z'}), 0x00},  // later STX skipped
                      BccCase{B({0x02, 'A', 'B'}), 0x03},                   // no ETX: all after STX
                      BccCase{B({'x', 'y'}), 0x00}));

class LinkIo : public VirtualPortTest {
 protected:
  // ReadComm with the given capacity (1 = ACK mode); returns {code, bytes}.
  std::pair<Result, Bytes> Read(int capacity, int32_t timeout, int16_t dsrCheck = 0) {
    Bytes buffer(static_cast<std::size_t>(std::max(capacity, 1)));
    int length = capacity;
    Result r = m_port->ReadComm(buffer.data(), &length, timeout, dsrCheck);
    buffer.resize(r == 0 ? static_cast<std::size_t>(length) : 0);
    return {r, buffer};
  }
  std::pair<Result, Bytes> ReadHF(int capacity, int32_t timeout) {
    Bytes buffer(static_cast<std::size_t>(capacity));
    int length = capacity;
    Result r = m_port->ReadCommHF(buffer.data(), &length, timeout, 0);
    buffer.resize(r == 0 ? static_cast<std::size_t>(length) : 0);
    return {r, buffer};
  }
};

TEST_F(LinkIo, FrameModeTakesTheLastCompleteFrameOfABurst) {
  m_peer->Write(B("noise") + Frame("1") + Frame("22") + B({0x02, 'x'}));
  auto [r, bytes] = Read(kReceiveCapacity, 200);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), Hex(Frame("22")));
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"Info    |Start ReadComm Method",
                                                  "Info    |End ReadComm Method"}));
  // The dump shows every byte received, not only the frame.
  EXPECT_NE(TraceText().find("6E 6F 69 73 65 02 31 03 32"), std::string::npos);
}

TEST_F(LinkIo, FrameWaitsForItsBccAndAQuietLine) {
  m_peer->Write(B({0x02, '1', 0x03}));
  auto pending = std::async(std::launch::async, [&] { return Read(kReceiveCapacity, 1000); });
  ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(40)), std::future_status::timeout);
  m_peer->Write(B({0x32}));
  auto [r, bytes] = pending.get();
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), "02 31 03 32");
}

TEST_F(LinkIo, AckModeSkipsOtherBytesAndLeavesTheRest) {
  m_peer->Write(B("xy") + B({0x15}) + B("rest"));
  auto [r, bytes] = Read(1, 200);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), "15");  // NAK is a success at this level
  auto [r2, rest] = Read(kReceiveCapacity, -1);
  EXPECT_EQ(r2, 0);
  EXPECT_EQ(rest, B("rest"));
}

TEST_F(LinkIo, NegativeTimeOutOnAQuietLineGivesNothing) {
  auto [r, bytes] = Read(kReceiveCapacity, -1);
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(bytes.empty());
}

TEST_F(LinkIo, IdleTimeOutDumpsWhatCame) {
  m_peer->Write(B({0x02, 'A'}));
  const uint32_t start = platform::TickCount();
  auto [r, bytes] = Read(kReceiveCapacity, 30);
  EXPECT_EQ(r, 110);
  EXPECT_GE(platform::TickCount() - start, 30u);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"Info    |Start ReadComm Method",
                                                  "Info    |[Error]Dump Receive Data",
                                                  "ErrInfo |ErrorCode 110: Timeout Error."}));
  EXPECT_NE(TraceText().find("0000 : 02 41"), std::string::npos);
}

TEST_F(LinkIo, FrameLongerThanTheBufferIsNeverDelivered) {
  m_peer->Write(Frame(std::string(20, 'x')));
  EXPECT_EQ(Read(10, 30).first, 110);
}

TEST_F(LinkIo, ReadFailuresByDsr) {
  m_peer->SetModemLines(platform::kMsCtsOn | platform::kMsRlsdOn);
  EXPECT_EQ(Read(kReceiveCapacity, 500, 1).first, 112);
  EXPECT_EQ(NewTrace().back(), "ErrInfo |ErrorCode 112: DSR Error.");
  EXPECT_EQ(Read(kReceiveCapacity, 20, 0).first, 110) << "without the check DSR does not matter";
}

TEST_F(LinkIo, LineFailureGivesReceiveError) {
  m_peer->Disconnect();
  EXPECT_EQ(Read(kReceiveCapacity, 500).first, 201);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{
                            "Info    |Start ReadComm Method", "Info    |[Error]Dump Receive Data",
                            "ErrInfo |ErrorCode 201: WIN32 API Error (Receive)"}));
}

TEST_F(LinkIo, HfFrameIsDeliveredAtItsBccAndTheRestStays) {
  m_peer->Write(B("zz") + Frame("0123456") + B("NEXT"));
  auto [r, bytes] = ReadHF(kReceiveCapacity, 200);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), Hex(Frame("0123456")));
  auto [r2, rest] = Read(kReceiveCapacity, -1);
  EXPECT_EQ(rest, B("NEXT"));
}

TEST_F(LinkIo, HfTimeOutAndFullBuffer) {
  m_peer->Write(B({0x02, 'a', 'b', 'c', 'd', 'e'}));
  EXPECT_EQ(ReadHF(4, 30).first, 110);
  // Only the four bytes of the limit were taken.
  auto [r, rest] = Read(kReceiveCapacity, -1);
  EXPECT_EQ(rest, B("de"));
}

TEST_F(LinkIo, WriteTracesAndDumpsTheBytes) {
  const Bytes data = B("hello");
  EXPECT_EQ(m_port->WriteComm(data.data(), 5, 100, 0), 0);
  EXPECT_EQ(m_peer->ReadAll(), data);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"Info    |Start WriteComm Method",
                                                  "Info    |End WriteComm Method"}));
  EXPECT_NE(TraceText().find("68 65 6C 6C 6F"), std::string::npos);
}

struct LineWaitCase {
  uint32_t lines;
  int16_t dsrCheck;
  Result code;
  const char* message;
};

class WriteLineWaits : public LinkIo, public ::testing::WithParamInterface<LineWaitCase> {};

TEST_P(WriteLineWaits, FailAfterTheTimeOut) {
  const LineWaitCase c = GetParam();
  m_peer->SetModemLines(c.lines);
  const Bytes data = B("x");
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(m_port->WriteComm(data.data(), 1, 40, c.dsrCheck), c.code);
  EXPECT_GE(platform::TickCount() - start, 40u);
  EXPECT_TRUE(m_peer->ReadAll().empty());
  EXPECT_EQ(NewTrace().back(), std::string("ErrInfo |") + c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteLineWaits,
    ::testing::Values(LineWaitCase{platform::kMsDsrOn, 0, 111, "ErrorCode 111: CTS Timeout Error"},
                      LineWaitCase{platform::kMsDsrOn, 1, 111, "ErrorCode 111: CTS Timeout Error"},
                      LineWaitCase{0, 1, 112, "ErrorCode 112: DSR Timeout Error"},
                      LineWaitCase{platform::kMsCtsOn, 1, 112,
                                   "ErrorCode 112: DSR Timeout Error"}));

TEST_F(LinkIo, WaitingLineComesOnInTime) {
  m_peer->SetModemLines(platform::kMsDsrOn);
  auto later = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m_peer->SetModemLines(platform::kMsDsrOn | platform::kMsCtsOn);
  });
  const Bytes data = B("ok");
  EXPECT_EQ(m_port->WriteComm(data.data(), 2, 1000, 1), 0);
  later.get();
  EXPECT_EQ(m_peer->ReadAll(), data);
}

TEST_F(LinkIo, StalledTransmitterEndsInSend1) {
  // The driver's write time-out (WriteFileTimeOut) is 5000 ms unless the settings say otherwise.
  test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path()) + "[TimeOut]\nWriteFileTimeOut=15\n");
  m_port->ClosePort("lvoClosePort");
  m_port->ReloadSettings("SetWriteFileTimeOut");
  ASSERT_EQ(m_port->OpenPort("lvoOpenPort", 9600, "8", "N", 64, 64, 0), 0);
  NewTrace();
  m_peer->StallTransmitter(true);
  const Bytes data = B("stuck");
  EXPECT_EQ(m_port->WriteComm(data.data(), 5, 40, 0), 200);
  EXPECT_EQ(NewTrace().back(), "ErrInfo |ErrorCode 200: WIN32 API Error (Send1)");
  m_peer->StallTransmitter(false);
  EXPECT_EQ(m_port->WriteComm(data.data(), 5, 40, 0), 0);
}

TEST_F(LinkIo, DelayPrecedesEveryWrite) {
  test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path()) + "[Delay]\nDelay=30\n");
  m_port->ReloadSettings("SetSendDelayTime");
  const Bytes data = B("d");
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(m_port->WriteComm(data.data(), 1, 100, 0), 0);
  EXPECT_GE(platform::TickCount() - start, 30u);
}

TEST_F(LinkIo, RetryBccNaksThreeTimesAtMost) {
  test::VirtualDevice device(m_peer, [](const Bytes&, int index) {
    return Frame("R" + std::to_string(index), index == 2 ? 0 : 0x55);
  });
  Bytes buffer(kReceiveCapacity);
  int length = 0;
  EXPECT_EQ(m_port->RetryBCC(buffer.data(), &length, 200, 0), 0);
  buffer.resize(static_cast<std::size_t>(length));
  EXPECT_EQ(Hex(buffer), Hex(Frame("R2")));
  EXPECT_EQ(device.Messages().size(), 3u);
}

}  // namespace
}  // namespace linvo::engine
