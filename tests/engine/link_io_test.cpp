#include <atomic>
#include <future>
#include <thread>

#include "engine/settings.h"
#include "platform/clock.h"
#include "platform/error_text.h"
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
  // Waits until the trace file holds `text` `count` times (other threads' lines included).
  bool WaitForTrace(const std::string& text, int count = 1) {
    const uint32_t start = platform::TickCount();
    for (;;) {
      const std::string trace = TraceText();
      int seen = 0;
      for (std::size_t at = trace.find(text); at != std::string::npos;
           at = trace.find(text, at + 1)) {
        ++seen;
      }
      if (seen >= count) return true;
      if (platform::TickCount() - start > 5000) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Reopens the port after the settings file got `ini` appended (for WriteFileTimeOut, which
  // takes effect at the open) at the given speed.
  void Reopen(const std::string& ini, int32_t baud = 9600) {
    test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path()) + ini);
    m_port->ClosePort("lvoClosePort");
    m_port->ReloadSettings("ReloadSettings");
    ASSERT_EQ(m_port->OpenPort("lvoOpenPort", baud, "8", "N", 64, 64, 0), 0);
    NewTrace();
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
  const Bytes data = B("ok");
  auto write =
      std::async(std::launch::async, [&] { return m_port->WriteComm(data.data(), 2, 1000, 1); });
  // The write has begun (its line waits come next) when its first line is in the trace.
  ASSERT_TRUE(WaitForTrace("Start WriteComm Method"));
  m_peer->SetModemLines(platform::kMsDsrOn | platform::kMsCtsOn);
  EXPECT_EQ(write.get(), 0);
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

// A device that never falls quiet: `pattern` again and again, a burst every millisecond, until
// stopped (or for five seconds at most).
class Streamer {
 public:
  Streamer(std::shared_ptr<platform::VirtualPeer> peer, Bytes pattern)
      : m_thread([this, peer, pattern] {
          Bytes burst;
          while (burst.size() < 64) burst = burst + pattern;
          const uint32_t start = platform::TickCount();
          while (!m_stop.load() && platform::TickCount() - start < 5000) {
            peer->Write(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~Streamer() { Stop(); }
  void Stop() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

struct StreamCase {
  const char* name;
  Bytes pattern;
  // Runs one receive with an idle time-out of 50 ms; returns its code.
  Result (*receive)(CCommPort& port);
};

Result ReceiveFrame(CCommPort& port) {
  Bytes buffer(kReceiveCapacity);
  int length = kReceiveCapacity;
  return port.ReadComm(buffer.data(), &length, 50, 0);
}
Result ReceiveAck(CCommPort& port) {
  uint8_t byte = 0;
  int length = 1;
  return port.ReadComm(&byte, &length, 50, 0);
}
Result ReceiveHF(CCommPort& port) {
  Bytes buffer(kReceiveCapacity);
  int length = kReceiveCapacity;
  return port.ReadCommHF(buffer.data(), &length, 50, 0);
}
Result ReceiveBinary(CCommPort& port) {
  Bytes buffer(0x1405);
  int length = 0x1405;
  return port.ReadCommForBinary(buffer.data(), &length, 50, 0);
}
Result ReceiveBinaryAck(CCommPort& port) {
  Bytes buffer(2);
  int length = 2;
  return port.ReadCommForBinary(buffer.data(), &length, 50, 0);
}

class EndlessStream : public LinkIo, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(EndlessStream, EndsWithTimeOutAndThePortStaysUsable) {
  // At 921600 bit/s four receive buffers take about 270 ms: the bound is 50 + 500 ms.
  Reopen("", 921600);
  Streamer stream(m_peer, GetParam().pattern);
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(GetParam().receive(*m_port), 110);
  const uint32_t took = platform::TickCount() - start;
  EXPECT_GE(took, 550u);
  EXPECT_LT(took, 3000u) << "the stream lasts five seconds; the receive must end long before";
  stream.Stop();
  EXPECT_EQ(NewTrace().back(), "ErrInfo |ErrorCode 110: Timeout Error.");
  ASSERT_EQ(m_port->ComBufferClear("lvoComBufferClear(2)"), 0);
  m_peer->Write(Frame("ok"));
  auto [r, bytes] = Read(kReceiveCapacity, 200);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Hex(bytes), Hex(Frame("ok")));
}

INSTANTIATE_TEST_SUITE_P(Table, EndlessStream,
                         ::testing::Values(StreamCase{"Frame", B("x"), ReceiveFrame},
                                           StreamCase{"Ack", B("x"), ReceiveAck},
                                           StreamCase{"HfRestartingFrames", B({0x02, 'x', 'y'}),
                                                      ReceiveHF},
                                           StreamCase{"Binary", B("x"), ReceiveBinary},
                                           StreamCase{"BinaryAck", B("x"), ReceiveBinaryAck}),
                         [](const auto& info) { return info.param.name; });

TEST_F(LinkIo, CloseEndsAWorkersDelay) {
  // The longest delay there is, before the worker's poll.
  test::WriteFile("Linvo.ini", test::LoggingIni(m_dir.Path()) + "[Delay]\nDelay=60000\n");
  m_port->ReloadSettings("SetSendDelayTime");
  EXPECT_EQ(m_port->Delay(), kMaxDelayMs);
  ASSERT_EQ(m_port->ReceiveResponseAsync("lvoReceiveResponse", 3, 200, 0, 0), 0);
  ASSERT_TRUE(WaitForTrace("Start WriteComm Method"));
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(m_port->ClosePort("lvoClosePort"), 0);
  EXPECT_LT(platform::TickCount() - start, static_cast<uint32_t>(kMaxDelayMs / 2));
}

// Time-out 0 waits for progress without limit, in both writes: a transmitter held longer than
// the driver's write time-out (15 ms) is waited for.
class WriteTimeOutZero : public LinkIo, public ::testing::WithParamInterface<bool> {};

TEST_P(WriteTimeOutZero, OutlastsAHeldTransmitter) {
  const bool binary = GetParam();
  Reopen("[TimeOut]\nWriteFileTimeOut=15\n");
  m_peer->StallTransmitter(true);
  const Bytes data = B("held");
  auto write = std::async(std::launch::async, [&] {
    return binary ? m_port->WriteCommForBinary(data.data(), 4, 0, 0, 1)
                  : m_port->WriteComm(data.data(), 4, 0, 0);
  });
  ASSERT_TRUE(WaitForTrace(binary ? "Start WriteCommForBinary Method" : "Start WriteComm Method"));
  // The device holds its receiver for several write time-outs.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  m_peer->StallTransmitter(false);
  EXPECT_EQ(write.get(), 0);
  EXPECT_EQ(m_peer->ReadAll(), data);
}

INSTANTIATE_TEST_SUITE_P(TextAndBinary, WriteTimeOutZero, ::testing::Bool());

struct DsrFlowCase {
  const char* name;
  bool dsrFlow;
  int16_t dsrCheck;
  bool binary;
  Result code;
  const char* last;  // the last trace line
};

class DsrOutputFlow : public LinkIo, public ::testing::WithParamInterface<DsrFlowCase> {};

TEST_P(DsrOutputFlow, HoldsTheOutputWhileDsrIsOff) {
  const DsrFlowCase& c = GetParam();
  Reopen("[TimeOut]\nWriteFileTimeOut=15\n");
  ASSERT_EQ(m_port->SetCommSettings("SetCommSettings", c.dsrFlow ? 1 : 0, 1), 0);
  m_peer->SetModemLines(platform::kMsCtsOn | platform::kMsRlsdOn);
  NewTrace();
  const Bytes data = B("out");
  const uint32_t start = platform::TickCount();
  Result r = c.binary ? m_port->WriteCommForBinary(data.data(), 3, 40, c.dsrCheck, 1)
                      : m_port->WriteComm(data.data(), 3, 40, c.dsrCheck);
  EXPECT_EQ(r, c.code);
  EXPECT_EQ(NewTrace().back(), c.last);
  if (c.code == 0) {
    EXPECT_EQ(m_peer->ReadAll(), data);
  } else {
    EXPECT_GE(platform::TickCount() - start, 40u);
    EXPECT_TRUE(m_peer->ReadAll().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DsrOutputFlow,
    ::testing::Values(
        DsrFlowCase{"TextHeld", true, 0, false, 200,
                    "ErrInfo |ErrorCode 200: WIN32 API Error (Send1)"},
        DsrFlowCase{"BinaryHeld", true, 0, true, 200,
                    "ErrInfo |ErrorCode 200: WIN32 API Error (Send1)"},
        DsrFlowCase{"CheckedFirst", true, 1, false, 112,
                    "ErrInfo |ErrorCode 112: DSR Timeout Error"},
        DsrFlowCase{"TextFlowOff", false, 0, false, 0, "Info    |End WriteComm Method"},
        DsrFlowCase{"BinaryFlowOff", false, 0, true, 0, "Info    |End WriteCommForBinary Method"}),
    [](const auto& info) { return info.param.name; });

TEST_F(LinkIo, HeldOutputGoesWhenDsrComesOn) {
  Reopen("[TimeOut]\nWriteFileTimeOut=15\n");
  m_peer->SetModemLines(platform::kMsCtsOn);
  const Bytes data = B("late");
  auto write =
      std::async(std::launch::async, [&] { return m_port->WriteComm(data.data(), 4, 2000, 0); });
  ASSERT_TRUE(WaitForTrace("Start WriteComm Method"));
  m_peer->SetModemLines(platform::kMsCtsOn | platform::kMsDsrOn);
  EXPECT_EQ(write.get(), 0);
  EXPECT_EQ(m_peer->ReadAll(), data);
}

// A binary receive whose wait fails ends as a text receive does: "[Error]Dump Receive Data",
// then 112 "DSR Error." when the DSR check is on and DSR is off, else 201.
struct WaitFailureCase {
  const char* name;
  bool framed;
  int16_t dsrCheck;
  Result code;
  const char* message;
};

class BinaryWaitFailure : public LinkIo, public ::testing::WithParamInterface<WaitFailureCase> {};

TEST_P(BinaryWaitFailure, MatchesTheTextReceive) {
  const WaitFailureCase& c = GetParam();
  auto receive = std::async(std::launch::async, [&] {
    Bytes buffer(64);
    int length = 64;
    Result r = c.framed
                   ? m_port->ReadCommForBinary(buffer.data(), &length, 2000, c.dsrCheck)
                   : m_port->ReadCommForUnformattedBinary(buffer.data(), &length, 2000, c.dsrCheck);
    return std::pair{r,
                     test::TraceSequence(m_dir.Path() + "/trace003.log", test::CurrentThreadId())};
  });
  ASSERT_TRUE(WaitForTrace(c.framed ? "Start ReadCommForBinary Method"
                                    : "Start ReadCommForUnformattedBinary Method"));
  // The line goes away while the receive waits for its first byte.
  ASSERT_TRUE(m_peer->WaitHostWaiting(1, 5000));
  if (c.dsrCheck) m_peer->SetModemLines(platform::kMsCtsOn);
  m_peer->Disconnect();
  auto [r, trace] = receive.get();
  EXPECT_EQ(r, c.code);
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace.back(), std::string("ErrInfo |") + c.message);
  if (!c.dsrCheck) {
    EXPECT_EQ(trace[trace.size() - 2], "Info    |[Error]Dump Receive Data");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BinaryWaitFailure,
    ::testing::Values(
        WaitFailureCase{"Framed", true, 0, 201, "ErrorCode 201: WIN32 API Error (Receive)"},
        WaitFailureCase{"FramedDsrOff", true, 1, 112, "ErrorCode 112: DSR Error."},
        WaitFailureCase{"Raw", false, 0, 201, "ErrorCode 201: WIN32 API Error (Receive)"},
        WaitFailureCase{"RawDsrOff", false, 1, 112, "ErrorCode 112: DSR Error."}),
    [](const auto& info) { return info.param.name; });

// A line that fails with a system error (an adapter unplugged mid-exchange): each primitive
// ends with the lines and the code it always has, then says why in one more "ErrInfo " line,
// and the port keeps the reason for the host.
struct SystemErrorCase {
  const char* name;
  Result (*call)(CCommPort& port);
  Result code;
  std::vector<std::string> lines;  // the primitive's own lines, before the reason
};

// ENODEV on POSIX; on Windows the same number is a Win32 code with a text of its own.
constexpr int kSystemError = 19;

Result ReceiveWith(CCommPort& port, int16_t dsrCheck) {
  Bytes buffer(kReceiveCapacity);
  int length = kReceiveCapacity;
  return port.ReadComm(buffer.data(), &length, 500, dsrCheck);
}

class LineSystemError : public LinkIo, public ::testing::WithParamInterface<SystemErrorCase> {};

TEST_P(LineSystemError, EndsAsBeforeThenSaysWhy) {
  const SystemErrorCase& c = GetParam();
  m_peer->Fail(kSystemError);
  EXPECT_EQ(c.call(*m_port), c.code);
  std::vector<std::string> expected = c.lines;
  expected.push_back("ErrInfo |" + platform::SystemErrorText(kSystemError) + " (system error " +
                     std::to_string(kSystemError) + ")");
  EXPECT_EQ(NewTrace(), expected);
  EXPECT_EQ(m_port->LastErrorText(), platform::SystemErrorText(kSystemError));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineSystemError,
    ::testing::Values(
        SystemErrorCase{"Frame",
                        [](CCommPort& p) { return ReceiveWith(p, 0); },
                        201,
                        {"Info    |Start ReadComm Method", "Info    |[Error]Dump Receive Data",
                         "ErrInfo |ErrorCode 201: WIN32 API Error (Receive)"}},
        // The DSR check reads the modem status, which fails too: DSR counts as off.
        SystemErrorCase{"FrameDsrChecked",
                        [](CCommPort& p) { return ReceiveWith(p, 1); },
                        112,
                        {"Info    |Start ReadComm Method", "Info    |[Error]Dump Receive Data",
                         "ErrInfo |ErrorCode 112: DSR Error."}},
        SystemErrorCase{"HF",
                        ReceiveHF,
                        201,
                        {"Info    |Start ReadCommHF Method", "Info    |[Error]Dump Receive Data",
                         "ErrInfo |ErrorCode 201: WIN32 API Error (Receive)"}},
        SystemErrorCase{
            "Binary",
            ReceiveBinary,
            201,
            {"Info    |Start ReadCommForBinary Method", "Info    |[Error]Dump Receive Data",
             "ErrInfo |ErrorCode 201: WIN32 API Error (Receive)"}},
        SystemErrorCase{"Raw",
                        [](CCommPort& p) {
                          Bytes buffer(16);
                          int length = 16;
                          return p.ReadCommForUnformattedBinary(buffer.data(), &length, 500, 0);
                        },
                        201,
                        {"Info    |Start ReadCommForUnformattedBinary Method",
                         "Info    |[Error]Dump Receive Data",
                         "ErrInfo |ErrorCode 201: WIN32 API Error (Receive)"}},
        // A text write waits for CTS first; that wait reads the modem status, which fails.
        SystemErrorCase{
            "TextWrite",
            [](CCommPort& p) {
              const Bytes data = B("x");
              return p.WriteComm(data.data(), 1, 500, 0);
            },
            111,
            {"Info    |Start WriteComm Method", "ErrInfo |ErrorCode 111: CTS Timeout Error"}},
        SystemErrorCase{"BinaryWrite",
                        [](CCommPort& p) {
                          const Bytes data = B("x");
                          return p.WriteCommForBinary(data.data(), 1, 500, 0, 0);
                        },
                        200,
                        {"Info    |Start WriteCommForBinary Method",
                         "Info    |[Error]Dump Receive Data(Including Control Code in Data)",
                         "ErrInfo |ErrorCode 200: WIN32 API Error (Send2)"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace linvo::engine
