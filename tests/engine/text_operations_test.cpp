#include "support/port_fixture.h"

namespace linvo::engine {
namespace {

using test::B;
using test::Bytes;
using test::Frame;
using test::Hex;
using test::operator+;
using test::VirtualDevice;

const Bytes kAckB = B({0x06});
const Bytes kNakB = B({0x15});
const Bytes kPoll = B({0x04, 0x05});

class TextOps : public test::VirtualPortTest {
 protected:
  // Answers commands and data frames with ACK and polls with the given responses in turn (the
  // last one repeats); NAKs from the host get the previous response again.
  std::unique_ptr<VirtualDevice> Device(std::vector<Bytes> responses, Bytes commandReply = {0x06}) {
    return std::make_unique<VirtualDevice>(
        m_peer, [responses, commandReply, next = std::size_t{0}](const Bytes& m, int) mutable {
          if (m == kPoll || m == kNakB) {
            const Bytes& r = responses[std::min(next, responses.size() - 1)];
            ++next;
            return r;
          }
          if (m == kAckB) return Bytes{};
          return commandReply;
        });
  }
  static std::vector<std::string> Write() {
    return {"Info    |Start WriteComm Method", "Info    |End WriteComm Method"};
  }
  static std::vector<std::string> Read() {
    return {"Info    |Start ReadComm Method", "Info    |End ReadComm Method"};
  }
};

std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(TextOps, SendCommandWireBytesAndTrace) {
  auto device = Device({});
  EXPECT_EQ(m_port->SendCommand("lvoSendCommand", 200, 0, "S1", nullptr, 0), 2);
  EXPECT_EQ(Hex(device->Messages().at(0)), "04 02 53 31 03 61");
  EXPECT_EQ(NewTrace(), test::Bracket("lvoSendCommand",
                                      Cat({Write(), Read(), {"Info    |Return Value is 2"}})));
  EXPECT_EQ(m_port->SendCommand("lvoSendCommand", 200, 0, "Q2", "AB", 2), 2);
  EXPECT_EQ(device->Messages().at(1),
            B({0x04, 0x02}) + B("Q2AB") + B({0x03, 'Q' ^ '2' ^ 'A' ^ 'B' ^ 3}));
}

TEST_F(TextOps, SendCommandNakIsNotAnError) {
  auto device = Device({}, kNakB);
  EXPECT_EQ(m_port->SendCommand("lvoSendCommand", 200, 0, "S1", "", 0), 3);
  EXPECT_EQ(NewTrace(), test::Bracket("lvoSendCommand",
                                      Cat({Write(), Read(), {"Info    |Return Value is 3"}})));
  // Opening a chained bracket (a receive follows), it stays open.
  EXPECT_EQ(m_port->SendCommand({"lvoSendCommandRR", Bracket::kOpens}, 200, 0, "S1", "", 0), 3);
  EXPECT_EQ(NewTrace(),
            Cat({{"Enter   |lvoSendCommandRR", "CSLock  |lvoSendCommandRR"}, Write(), Read()}));
}

struct CommandCheck {
  int32_t ackTimer;
  const char* command;
  const char* parameter;
  int16_t length;
  const char* message;
};

class SendCommandChecks : public TextOps, public ::testing::WithParamInterface<CommandCheck> {};

TEST_P(SendCommandChecks, RefuseBeforeSending) {
  const CommandCheck c = GetParam();
  EXPECT_EQ(m_port->SendCommand("lvoSendCommand", c.ackTimer, 0, c.command, c.parameter, c.length),
            100);
  EXPECT_EQ(NewTrace(),
            test::Bracket("lvoSendCommand", {std::string("ErrInfo |") + c.message}, "ErrExit "));
  EXPECT_TRUE(m_peer->ReadAll().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendCommandChecks,
    ::testing::Values(CommandCheck{-1, "S1", "", 0, "ErrorCode 100: Parameter Error1"},
                      CommandCheck{100, "S", "", 0, "ErrorCode 100: Parameter Error2"},
                      CommandCheck{100, "S12", "", 0, "ErrorCode 100: Parameter Error2"},
                      CommandCheck{100, nullptr, "", 0, "ErrorCode 100: Parameter Error2"},
                      CommandCheck{100, "S1", "", -1, "ErrorCode 100: Parameter Error3"},
                      CommandCheck{100, "S1", "ABC", 2, "ErrorCode 100: Parameter Error4"},
                      CommandCheck{100, "S1", nullptr, 3, "ErrorCode 100: Parameter Error5"}));

TEST_F(TextOps, ClosedPortIsCheckedFirst) {
  m_port->ClosePort("lvoClosePort");
  NewTrace();
  EXPECT_EQ(m_port->SendCommand("lvoSendCommand", -1, 0, "S", nullptr, 9), 101);
  EXPECT_EQ(NewTrace(),
            test::Bracket("lvoSendCommand",
                          {"ErrInfo |ErrorCode 101: Serial Port is not opened yet"}, "ErrExit "));
  std::string s;
  EXPECT_EQ(m_port->SendDataAck("lvoSendData(1,0)", -1, -1, 0, nullptr, -1), 101);
  EXPECT_EQ(m_port->ReceiveResponse("lvoReceiveResponse", 1, -1, 0, 0, &s, &s, &s), 101);
  EXPECT_EQ(m_port->ComBufferClear("lvoComBufferClear(2)"), 101);
}

struct ResponseCase {
  const char* name;
  int16_t recMode;
  std::vector<Bytes> responses;
  Result result;
  std::size_t polls;  // host messages: polls and NAKs
  const char* status;
  const char* code;
  const char* data;
};

class Responses : public TextOps, public ::testing::WithParamInterface<ResponseCase> {};

TEST_P(Responses, ByStatusLetter) {
  const ResponseCase& c = GetParam();
  auto device = Device(c.responses);
  std::string status = "keep", code = "keep", data = "keep";
  EXPECT_EQ(
      m_port->ReceiveResponse("lvoReceiveResponse", c.recMode, 200, 1000, 0, &status, &code, &data),
      c.result);
  EXPECT_EQ(device->Messages().size(), c.polls);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(code, c.code);
  EXPECT_EQ(data, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Responses,
    ::testing::Values(ResponseCase{"BusyThenDone",
                                   1,
                                   {Frame("B0100x"), Frame("B0100y"), Frame("A0203done")},
                                   10,
                                   3,
                                   "02",
                                   "03",
                                   "done"},
                      ResponseCase{
                          "ModeZeroTakesBusy", 0, {Frame("B0100wait")}, 12, 1, "01", "00", "wait"},
                      ResponseCase{"Sense", 1, {Frame("R1122sense")}, 11, 1, "11", "22", "sense"},
                      ResponseCase{"OtherLetter", 0, {Frame("C0405zz")}, 0, 1, "04", "05", "keep"},
                      ResponseCase{"NoData", 1, {Frame("A0000")}, 10, 1, "00", "00", ""},
                      ResponseCase{"BadBccOnceThenGood",
                                   1,
                                   {Frame("A0000x", 1), Frame("A0000y")},
                                   10,
                                   2,
                                   "00",
                                   "00",
                                   "y"}),
    [](const auto& info) { return info.param.name; });

TEST_F(TextOps, WrongBccFourTimesGivesBccError) {
  auto device = Device({Frame("A0000", 0x40)});
  std::string s = "keep";
  EXPECT_EQ(m_port->ReceiveResponse("lvoReceiveResponse", 1, 200, 0, 0, &s, &s, &s), 120);
  std::vector<Bytes> m = device->Messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], kPoll);
  EXPECT_EQ(m[1], kNakB);
  EXPECT_EQ(m[3], kNakB);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 120: BCC Retry Error");
}

TEST_F(TextOps, BusyUntilTheBusyTimerRunsOut) {
  auto device = Device({Frame("B0000")});
  std::string s;
  EXPECT_EQ(m_port->ReceiveResponse("lvoReceiveResponse", 1, 200, 300, 0, &s, &s, &s), 113);
  EXPECT_GE(device->Messages().size(), 2u);
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 113: Busy Timeout Error.");
}

TEST_F(TextOps, SendCommandRRTracesOneBracket) {
  auto device = Device({Frame("A0000ok")});
  std::string status, code, data;
  EXPECT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, 200, 1000, 0, "S1", "P", 1, &status, &code,
                                  &data),
            10);
  EXPECT_EQ(data, "ok");
  EXPECT_EQ(device->Messages().size(), 2u);
  EXPECT_EQ(
      NewTrace(),
      test::Bracket("lvoSendCommandRR",
                    Cat({Write(), Read(), Write(), Read(), {"Info    |Return Value is 10"}})));
}

TEST_F(TextOps, SendCommandRRNakEndsWithoutPolling) {
  auto device = Device({Frame("A0000")}, kNakB);
  std::string s;
  EXPECT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, 200, 1000, 0, "S1", "", 0, &s, &s, &s), 3);
  EXPECT_EQ(device->Messages().size(), 1u);
  EXPECT_EQ(NewTrace(), test::Bracket("lvoSendCommandRR", Cat({Write(), Read()}), "ErrExit "));
}

TEST_F(TextOps, SendCommandRRAckTimeOut) {
  std::string s = "keep";
  EXPECT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, 30, 1000, 0, "S1", "", 0, &s, &s, &s),
            110);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 110: Timeout Error.");
  EXPECT_EQ(m_peer->HostReceivePurges(), 1u) << "the input queue is discarded";
}

TEST_F(TextOps, InputIsDiscardedOnlyAfterFailedReceives) {
  struct Case {
    const char* name;
    Bytes commandReply;
    Bytes response;
    uint32_t purges;
    Result result;
  };
  for (const Case& c : {Case{"good", B({0x06}), Frame("A0000"), 0, 10},
                        Case{"nak", B({0x15}), Frame("A0000"), 0, 3},
                        Case{"response read fails", B({0x06}), Bytes{}, 1, 110},
                        Case{"bcc retries fail", B({0x06}), Frame("A0000", 1), 1, 120}}) {
    SCOPED_TRACE(c.name);
    const uint32_t before = m_peer->HostReceivePurges();
    auto device = Device({c.response}, c.commandReply);
    std::string s;
    EXPECT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, 30, 1000, 0, "S1", "", 0, &s, &s, &s),
              c.result);
    EXPECT_EQ(m_peer->HostReceivePurges() - before, c.purges);
  }
  // ReceiveResponse never discards, and a failed write (CTS off) does not either.
  const uint32_t before = m_peer->HostReceivePurges();
  std::string s;
  EXPECT_EQ(m_port->ReceiveResponse("lvoReceiveResponse", 1, 20, 0, 0, &s, &s, &s), 110);
  m_peer->SetModemLines(0);
  EXPECT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, 20, 0, 0, "S1", "", 0, &s, &s, &s), 111);
  EXPECT_EQ(m_peer->HostReceivePurges(), before);
}

TEST_F(TextOps, SendCommandRRChecks) {
  std::string s;
  for (auto [ack, busy, cmd] : {std::tuple{-1, 0, "S1"}, {0, -1, "S1"}, {0, 0, "S"}}) {
    EXPECT_EQ(m_port->SendCommandRR("lvoSendCommandRR", 1, ack, busy, 0, cmd, "", 0, &s, &s, &s),
              100);
    EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 100: Parameter Error");
  }
}

TEST_F(TextOps, SendDataAckRetries) {
  {
    VirtualDevice silent(m_peer, [](const Bytes&, int) { return Bytes{}; });
    EXPECT_EQ(m_port->SendDataAck("lvoSendData(1,0)", 2, 25, 0, "AB", 2), 110);
    std::vector<Bytes> m = silent.Messages();
    ASSERT_EQ(m.size(), 3u);
    for (const Bytes& b : m) EXPECT_EQ(b, B("AB"));
    EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 110: Timeout Error");
  }
  {
    VirtualDevice naks(m_peer, [](const Bytes&, int i) { return i < 2 ? kNakB : kAckB; });
    EXPECT_EQ(m_port->SendDataAck("lvoSendData(1,0)", 2, 200, 0, "AB", 2), 2);
    EXPECT_EQ(naks.Messages().size(), 3u);
    EXPECT_EQ(NewTrace().rbegin()[2], "Info    |Return Value is 2");
  }
}

TEST_F(TextOps, DataSendRefusals) {
  for (auto [retry, data, length] : {std::tuple<int16_t, const char*, int16_t>{-1, "AB", 2},
                                     {0, "", 0},
                                     {0, "AB", -1},
                                     {0, nullptr, 0},
                                     {0, "AB", 3}}) {
    EXPECT_EQ(m_port->SendDataAck("lvoSendData(1,0)", retry, 100, 0, data, length), 100);
    EXPECT_EQ(
        m_port->SendDataFramed("lvoSendData(1,1)", 1, retry < 0 ? retry : 0, 100, 0, data, length),
        100);
  }
  EXPECT_TRUE(m_peer->ReadAll().empty());
}

TEST_F(TextOps, FramedSendWithoutAckWritesOnce) {
  EXPECT_EQ(m_port->SendDataFramed("lvoSendData(0,1)", 0, 0, 100, 0, "AB", 2), 0);
  EXPECT_EQ(Hex(m_peer->ReadAll()), "02 41 42 03 00");
  EXPECT_EQ(NewTrace(),
            test::Bracket("lvoSendData(0,1)", Cat({Write(), {"Info    |Return Value is 0"}})));
}

TEST_F(TextOps, FramedSendNakAfterLastRetry) {
  VirtualDevice nak(m_peer, [](const Bytes&, int) { return kNakB; });
  EXPECT_EQ(m_port->SendDataFramed("lvoSendData(1,1)", 1, 0, 200, 0, "AB", 2), 3);
  EXPECT_EQ(NewTrace().rbegin()[2], "ErrInfo |ErrorCode 3: NAK Response");
}

TEST_F(TextOps, SendDataBccReceivesTheReply) {
  auto device = Device({}, kAckB + Frame("OK"));
  std::string reply;
  int16_t length = 0;
  EXPECT_EQ(m_port->SendDataBCC("lvoSendDataBCCRR", 0, 200, 0, "Q", 1, &reply, &length), 0);
  EXPECT_EQ(reply, "OK");
  EXPECT_EQ(length, 2);
  ASSERT_TRUE(device->WaitMessages(2));
  EXPECT_EQ(device->Messages(), (std::vector<Bytes>{Frame("Q"), kAckB}));
  EXPECT_EQ(NewTrace(),
            test::Bracket("lvoSendDataBCCRR",
                          Cat({Write(), Read(), Read(), Write(), {"Info    |Return Value is 0"}})));
}

TEST_F(TextOps, FramedReceiveWithWrongBcc) {
  m_peer->Write(Frame("data", 0x11));
  std::string data;
  int16_t length = 0;
  EXPECT_EQ(m_port->ReceiveDataFramed("lvoReceiveData(0,0,1)", 0, 200, 0, &data, &length), 120);
  EXPECT_EQ(data, "data");
  EXPECT_EQ(length, 4);
  EXPECT_EQ(NewTrace(), test::Bracket("lvoReceiveData(0,0,1)",
                                      Cat({Read(), {"Info    |Return Value is 120"}}), "ErrExit "));

  // With the handshake, the bad block is NAKed and the good one ACKed.
  m_peer->Write(Frame("data", 0x11));
  VirtualDevice device(m_peer,
                       [](const Bytes& m, int) { return m == kNakB ? Frame("good") : Bytes{}; });
  EXPECT_EQ(m_port->ReceiveDataFramed("lvoReceiveData(0,1,1)", 1, 200, 0, &data, &length), 0);
  EXPECT_EQ(data, "good");
  ASSERT_TRUE(device.WaitMessages(2));
  EXPECT_EQ(device.Messages(), (std::vector<Bytes>{kNakB, kAckB}));
}

TEST_F(TextOps, PlainReceive) {
  std::string data = "keep";
  int16_t length = 0;
  EXPECT_EQ(m_port->ReceiveDataPlain("lvoReceiveData(0,0,0)", 0, &data, &length), 30);
  EXPECT_EQ(data, "keep");
  EXPECT_EQ(NewTrace()[4], "ErrInfo |ErrorCode 30: No Receive Data");
  m_peer->Write(B({'r', 0x02, 'a', 0x00, 'w'}));
  EXPECT_EQ(m_port->ReceiveDataPlain("lvoReceiveData(0,0,0)", 0, &data, &length), 0);
  EXPECT_EQ(data, std::string("r\x02"
                              "a\0w",
                              5));
  EXPECT_EQ(length, 5);
}

TEST_F(TextOps, HfReceiveOneAndTwoParts) {
  const Bytes first = Frame("x0502first");
  const Bytes second = Frame("y0700second");
  std::string r1, c1, s1, r2 = "keep", c2 = "keep", s2 = "keep", data;
  int16_t length = 0;
  m_peer->Write(first + second);
  EXPECT_EQ(m_port->ReceiveDataHF("lvoReceiveDataHF", 1, 200, 0, &r1, &c1, &s1, &r2, &c2, &s2,
                                  &data, &length),
            0);
  EXPECT_EQ(r1 + c1 + s1, "x0502");
  EXPECT_EQ(r2 + c2 + s2, "y0700");
  EXPECT_EQ(data, "second");
  EXPECT_EQ(length, 6);

  // Without the judge flag the first frame is the whole reply; the second stays unread.
  m_peer->Write(first + second);
  r2 = "keep";
  EXPECT_EQ(m_port->ReceiveDataHF("lvoReceiveDataHF", 0, 200, 0, &r1, &c1, &s1, &r2, &c2, &s2,
                                  &data, &length),
            0);
  EXPECT_EQ(data, "first");
  EXPECT_EQ(r2, "keep");
  EXPECT_EQ(m_port->ReceiveDataHF("lvoReceiveDataHF", 0, 200, 0, &r1, &c1, &s1, &r2, &c2, &s2,
                                  &data, &length),
            0);
  EXPECT_EQ(data, "second");
}

TEST_F(TextOps, HfReceiveBlockChecks) {
  std::string f[6], data = "keep";
  int16_t length = -1;
  // An eight-byte frame carries no data; a wrong BCC is reported with 120, no error line.
  m_peer->Write(Frame("x0000", 0x20));
  EXPECT_EQ(m_port->ReceiveDataHF("lvoReceiveDataHF", 0, 200, 0, &f[0], &f[1], &f[2], &f[3], &f[4],
                                  &f[5], &data, &length),
            120);
  EXPECT_EQ(data, "");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(NewTrace(),
            test::Bracket("lvoReceiveDataHF",
                          {"Info    |Start ReadCommHF Method", "Info    |End ReadCommHF Method",
                           "Info    |Return Value is 120"},
                          "ErrExit "));
  // A bad first part of a two-part reply with a good second part: 120 through the normal exit.
  m_peer->Write(Frame("x1402a", 0x20) + Frame("y0000b"));
  EXPECT_EQ(m_port->ReceiveDataHF("lvoReceiveDataHF", 1, 200, 0, &f[0], &f[1], &f[2], &f[3], &f[4],
                                  &f[5], &data, &length),
            120);
  EXPECT_EQ(data, "b");
  EXPECT_EQ(NewTrace().back(), "Exit    |lvoReceiveDataHF");
  // Shorter than the layout: the fields it holds, no data.
  m_peer->Write(Frame("z1"));
  EXPECT_EQ(m_port->ReceiveDataHF("lvoReceiveDataHF", 0, 200, 0, &f[0], &f[1], &f[2], &f[3], &f[4],
                                  &f[5], &data, &length),
            0);
  EXPECT_EQ(f[0] + "|" + f[1] + "|" + f[2], "z|1|");
  EXPECT_EQ(length, 0);
}

TEST_F(TextOps, SendDataHFRRFormsOneBracket) {
  VirtualDevice device(m_peer, [](const Bytes&, int) { return Frame("r0000hf"); });
  EXPECT_EQ(m_port->SendDataFramed({"lvoSendDataHFRR", Bracket::kOpens}, 0, 0, 200, 0, "D", 1), 0);
  std::string f[6], data;
  int16_t length = 0;
  EXPECT_EQ(m_port->ReceiveDataHF({"lvoSendDataHFRR", Bracket::kCloses}, 0, 200, 0, &f[0], &f[1],
                                  &f[2], &f[3], &f[4], &f[5], &data, &length),
            0);
  EXPECT_EQ(data, "hf");
  EXPECT_EQ(NewTrace(), test::Bracket("lvoSendDataHFRR", Cat({Write(),
                                                              {"Info    |Start ReadCommHF Method",
                                                               "Info    |End ReadCommHF Method",
                                                               "Info    |Return Value is 0"}})));
}

TEST_F(TextOps, ComBufferClearBrackets) {
  m_peer->Write(B("stale"));
  EXPECT_EQ(m_port->ComBufferClear("lvoComBufferClear(2)"), 0);
  EXPECT_EQ(NewTrace(), test::Bracket("lvoComBufferClear(2)", {"Info    |Return Value is 0"}));
  std::string data;
  int16_t length = 0;
  EXPECT_EQ(m_port->ReceiveDataPlain("x", 0, &data, &length), 30) << "the input was discarded";
  NewTrace();
  EXPECT_EQ(m_port->ComBufferClear({"lvoComBufferClear(0)", Bracket::kCloses}), 0);
  EXPECT_EQ(NewTrace(),
            (std::vector<std::string>{"Info    |Return Value is 0", "CSUnlock|lvoComBufferClear(0)",
                                      "Exit    |lvoComBufferClear(0)"}));
}

}  // namespace
}  // namespace linvo::engine
