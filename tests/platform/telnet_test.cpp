// The telnet stream codec of network lines: data with 0xFF doubled, option negotiation, COM port
// subnegotiations, on any cut of the stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/telnet.h"

namespace linvo::platform::telnet {
namespace {

using E = Event::Kind;

struct Decoded {
  Bytes data;
  std::vector<Event> events;
};

// Feeds the stream in pieces of `piece` bytes (0: whole).
Decoded Decode(const Bytes& wire, std::size_t piece = 0, Decoder* decoder = nullptr) {
  Decoder own;
  Decoder& d = decoder != nullptr ? *decoder : own;
  Decoded out;
  if (piece == 0) piece = wire.size() == 0 ? 1 : wire.size();
  for (std::size_t at = 0; at < wire.size(); at += piece) {
    d.Feed(ByteView(wire).subspan(at, std::min(piece, wire.size() - at)), &out.data, &out.events);
  }
  return out;
}

std::string Describe(const std::vector<Event>& events) {
  std::string text;
  for (const Event& e : events) {
    if (!text.empty()) text += ' ';
    switch (e.kind) {
      case E::kOption:
        text += "opt(" + std::to_string(e.code) + "," + std::to_string(e.option) + ")";
        break;
      case E::kCommand:
        text += "cmd(" + std::to_string(e.code) + ")";
        break;
      case E::kSubnegotiation:
        text += "sb(" + std::to_string(e.option);
        for (uint8_t b : e.payload) text += "," + std::to_string(b);
        text += e.malformed ? ",malformed)" : ")";
        break;
    }
  }
  return text;
}

TEST(TelnetTest, DecodesDataAndCommandsOnEveryCut) {
  struct Case {
    const char* name;
    Bytes wire;
    Bytes data;
    std::string events;
  };
  const Case cases[] = {
      {"plain data", {1, 2, 3}, {1, 2, 3}, ""},
      {"doubled IAC is one data byte", {0x41, kIac, kIac, 0x42}, {0x41, 0xFF, 0x42}, ""},
      {"option amid data", {1, kIac, kWill, 44, 2}, {1, 2}, "opt(251,44)"},
      {"NOP is dropped", {kIac, kNop, 7}, {7}, "cmd(241)"},
      {"subnegotiation with a doubled IAC",
       {kIac, kSb, 44, 107, kIac, kIac, kIac, kSe, 9},
       {9},
       "sb(44,107,255)"},
      {"IAC and a command inside a subnegotiation ends it malformed",
       {kIac, kSb, 44, 101, kIac, kDo, 0, 5},
       {5},
       "sb(44,101,malformed) opt(253,0)"},
      {"IAC IAC at the end of a subnegotiation", {kIac, kSb, 44, kIac, kIac, kIac, kSe}, {}, "sb(44,255)"},
      {"stray SE", {kIac, kSe, 1}, {1}, "cmd(240)"},
      {"CR NUL passes as it is (binary mode)", {13, 0, 13, 10}, {13, 0, 13, 10}, ""},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      const Decoded d = Decode(c.wire, piece);
      EXPECT_EQ(d.data, c.data) << c.name << " piece " << piece;
      EXPECT_EQ(Describe(d.events), c.events) << c.name << " piece " << piece;
    }
  }
}

TEST(TelnetTest, OverlongSubnegotiationBreaksTheStream) {
  Decoder decoder;
  Bytes wire = {kIac, kSb, 44};
  wire.resize(wire.size() + Decoder::kMaxSubnegotiation, 0x41);
  Decoded d = Decode(wire, 0, &decoder);
  EXPECT_FALSE(decoder.Broken()) << "a subnegotiation of the largest size is still allowed";
  d = Decode({0x41, kIac, kSe, 1, 2}, 0, &decoder);
  EXPECT_TRUE(decoder.Broken());
  EXPECT_TRUE(d.data.empty()) << "nothing after a broken subnegotiation is data";
  EXPECT_TRUE(d.events.empty());
}

TEST(TelnetTest, EncodesDataAndComPortRequests) {
  Bytes wire;
  AppendData(wire, Bytes{0x00, 0xFF, 0x10, 0xFF, 0xFF});
  EXPECT_EQ(wire, (Bytes{0x00, 0xFF, 0xFF, 0x10, 0xFF, 0xFF, 0xFF, 0xFF}));
  wire.clear();
  const auto rate = BaudRateValue(0x00FFFF00);  // bytes 0xFF in the value are doubled
  AppendComPort(wire, kSetBaudRate, rate);
  EXPECT_EQ(wire, (Bytes{kIac, kSb, 44, 1, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, kIac, kSe}));
  // What is encoded decodes back.
  const Decoded d = Decode(wire);
  ASSERT_EQ(d.events.size(), 1u);
  EXPECT_EQ(d.events[0].payload, (Bytes{1, 0x00, 0xFF, 0xFF, 0x00}));
}

TEST(TelnetTest, ParsesServerMessages) {
  struct Case {
    Bytes payload;
    std::optional<uint8_t> command;
    uint32_t value;
  };
  const Case cases[] = {
      {{101, 0, 0, 0x25, 0x80}, kSetBaudRate, 9600},
      {{101, 0, 0x25, 0x80}, std::nullopt, 0},  // a rate of three bytes
      {{102, 7}, kSetDataSize, 7},
      {{105, 8}, kSetControl, 8},
      {{107, 0x31}, kNotifyModemState, 0x31},
      {{106, 0x10}, kNotifyLineState, 0x10},
      {{108}, kFlowControlSuspend, 0},
      {{109, 1}, std::nullopt, 0},  // resume carries no value
      {{112, 1}, kPurgeData, 1},
      {{100, 'a', 'b'}, kSignature, 0},
      {{5, 8}, std::nullopt, 0},  // a client's command
      {{113, 0}, std::nullopt, 0},  // unknown
      {{102}, std::nullopt, 0},
      {{}, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    const auto message = ParseComPortMessage(c.payload);
    ASSERT_EQ(message.has_value(), c.command.has_value()) << int(c.payload.empty() ? 0 : c.payload[0]);
    if (message) {
      EXPECT_EQ(message->command, *c.command);
      EXPECT_EQ(message->value, c.value);
    }
  }
}

TEST(TelnetTest, NegotiatesWithoutLooping) {
  using S = Negotiation::State;
  Negotiation n;
  EXPECT_EQ(n.Start(), (Bytes{kIac, kWill, 0, kIac, kWill, 3, kIac, kWill, 44, kIac, kDo, 0,
                               kIac, kDo, 3}));
  struct Step {
    uint8_t verb;
    uint8_t option;
    Bytes reply;
  };
  const Step steps[] = {
      {kDo, 44, {}},                      // the answer to our offer: no reply
      {kDo, 44, {}},                      // said again: still none
      {kWill, 1, {kIac, kDont, 1}},       // the server's echo is refused
      {kWill, 1, {kIac, kDont, 1}},       // each time (its state stays off)
      {kDo, 24, {kIac, kWont, 24}},       // an option we do not have
      {kWill, 0, {}},                     // the answer to our DO BINARY
      {kWont, 0, {kIac, kDont, 0}},       // switched off after it was on: acknowledged
      {kWont, 0, {}},                     // and not again
      {kWill, 0, {kIac, kDo, 0}},         // offered anew: wanted, accepted
      {kDont, 3, {}},                     // our SGA offer refused: no answer needed
  };
  for (const Step& s : steps) {
    EXPECT_EQ(n.Receive(s.verb, s.option), s.reply) << int(s.verb) << " " << int(s.option);
  }
  EXPECT_EQ(n.ComPort(), S::kOn);
  EXPECT_EQ(n.Local(3), S::kOff);
  EXPECT_EQ(n.Remote(0), S::kOn);

  Negotiation refused;
  refused.Start();
  EXPECT_TRUE(refused.Receive(kDont, 44).empty());
  EXPECT_EQ(refused.ComPort(), S::kOff);
}

}  // namespace
}  // namespace linvo::platform::telnet
