// The device simulator, driven with raw bytes from the host end of a virtual line; its options.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "sim/scenarios.h"
#include "sim_test_support.h"
#include "support/test_env.h"

namespace linvo::sim {
namespace {

const std::string kAckByte = Bytes("06");
const std::string kNakByte = Bytes("15");
const std::string kResponseA = Bytes("02 41 30 30 30 30 03 42");
const std::string kResponseB = Bytes("02 42 30 30 30 30 03 41");

struct AckCase {
  const char* name;
  AckMode mode;
  int dataNak;
  std::string sent;
  const char* answer;  // hex; "" = nothing within kQuiet ms
};

TEST_F(SimOnVirtualLine, AcknowledgesFramesByModeAndBcc) {
  const std::vector<AckCase> cases = {
      {"command, good BCC", AckMode::kByBcc, 0, kCommandS1, "06"},
      {"command, wrong BCC", AckMode::kByBcc, 0, Bytes("04 02 53 31 03 60"), "15"},
      {"command with params", AckMode::kByBcc, 0, Bytes("04 02 52 44 31 32 03 16"), "06"},
      // The byte after ETX is the BCC even when it equals STX (0x30 ^ 0x31 ^ 0x03).
      {"BCC equal to STX", AckMode::kByBcc, 0, Bytes("04 02 30 31 03 02"), "06"},
      {"data frame, good BCC", AckMode::kByBcc, 0, Bytes("02 41 42 03 00"), "06"},
      {"data frame, wrong BCC", AckMode::kByBcc, 0, Bytes("02 41 42 03 01"), "15"},
      {"data frame, data-nak", AckMode::kByBcc, 1, Bytes("02 41 42 03 00"), "15"},
      {"command, data-nak leaves it", AckMode::kByBcc, 1, kCommandS1, "06"},
      {"always NAK", AckMode::kAlwaysNak, 0, kCommandS1, "15"},
      {"silent, command", AckMode::kSilent, 0, kCommandS1, ""},
      {"silent, data frame", AckMode::kSilent, 0, Bytes("02 41 42 03 00"), ""},
  };
  StartSim();
  for (const AckCase& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    config.ackMode = c.mode;
    config.dataNak = c.dataNak;
    m_sim->SetConfig(config);
    EXPECT_EQ(ExchangeQuiet(c.sent), c.answer);
  }
}

TEST_F(SimOnVirtualLine, PollAfterCommandGetsConfiguredResponse) {
  Config config;
  config.letter = 'R';
  config.status = "01";
  config.code = "23";
  config.data = "XYZ";
  StartSim(config);
  EXPECT_EQ(Exchange(kCommandS1, 1), "06");
  EXPECT_EQ(Exchange(kPoll, 11), "02 52 30 31 32 33 58 59 5A 03 0A");
  const Counters counters = m_sim->GetCounters();
  EXPECT_EQ(counters.commands, 1);
  EXPECT_EQ(counters.polls, 1);
}

TEST_F(SimOnVirtualLine, BusyAnswersBUntilCountThenLetterAgainAfterEachCommand) {
  Config config;
  config.busyPolls = 2;
  StartSim(config);
  for (int command = 0; command < 2; ++command) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Exchange(kCommandS1, 1), "06");
    EXPECT_EQ(Exchange(kPoll, 8), HexBytes(kResponseB));
    EXPECT_EQ(Exchange(kPoll, 8), HexBytes(kResponseB));
    EXPECT_EQ(Exchange(kPoll, 8), HexBytes(kResponseA));
  }
}

TEST_F(SimOnVirtualLine, WrongBccRepeatedOnHostNakThenCorrect) {
  Config config;
  config.wrongBcc = 2;
  StartSim(config);
  const std::string wrong = HexBytes(Bytes("02 41 30 30 30 30 03 BD"));  // 0x42 ^ 0xFF
  EXPECT_EQ(Exchange(kCommandS1, 1), "06");
  EXPECT_EQ(Exchange(kPoll, 8), wrong);
  EXPECT_EQ(Exchange(kNakByte, 8), wrong);
  EXPECT_EQ(Exchange(kNakByte, 8), HexBytes(kResponseA));
  EXPECT_EQ(m_sim->GetCounters().hostNaks, 2);
  // The next command's reply is wrong again: the count is per exchange.
  EXPECT_EQ(Exchange(kCommandS1, 1), "06");
  EXPECT_EQ(Exchange(kPoll, 8), wrong);
}

TEST_F(SimOnVirtualLine, SilentPollsAndSilentScenarioSendNothing) {
  Config config;
  ASSERT_TRUE(ApplyScenario("silent-polls", &config));
  StartSim(config);
  EXPECT_EQ(Exchange(kCommandS1, 1), "06");
  EXPECT_EQ(ExchangeQuiet(kPoll), "");

  config = {};
  ASSERT_TRUE(ApplyScenario("silent", &config));
  m_sim->SetConfig(config);
  EXPECT_EQ(ExchangeQuiet(kCommandS1), "");
  EXPECT_EQ(ExchangeQuiet(kPoll), "");
  EXPECT_EQ(m_sim->GetCounters().polls, 2);
}

TEST_F(SimOnVirtualLine, DataReplyIsRepeatedOnNakAndHostAckIsLogged) {
  Config config;
  ASSERT_TRUE(ApplyScenario("data-reply", &config));
  StartSim(config);
  EXPECT_EQ(Exchange(Bytes("02 41 42 03 00"), 6), "06 02 4F 4B 03 07");
  EXPECT_EQ(Exchange(kNakByte, 5), "02 4F 4B 03 07");
  WriteToDevice(*m_host, kAckByte);
  EXPECT_TRUE(
      m_sim->WaitForCounters([](const Counters& c) { return c.repliesAcked == 1; }, kArrive));
  const std::vector<LogEvent> events = m_sim->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().direction, Direction::kNote);
  EXPECT_EQ(events.back().bytes, "host ACK of the data reply");
  EXPECT_EQ(m_sim->Received(), Bytes("02 41 42 03 00 15 06"));
  EXPECT_EQ(HexBytes(m_sim->Sent()), "06 02 4F 4B 03 07 02 4F 4B 03 07");
}

struct HfCase {
  const char* scenario;
  const char* answer;
};

TEST_F(SimOnVirtualLine, HfRepliesFollowTheAckOfADataFrame) {
  const std::vector<HfCase> cases = {
      {"hf", "06 02 30 30 30 30 30 48 46 44 41 54 41 03 2D"},
      {"hf-two-part", "06 02 30 30 35 30 32 03 34 02 30 30 30 30 30 48 46 44 41 54 41 03 2D"},
  };
  StartSim();
  for (const HfCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    Config config;
    ASSERT_TRUE(ApplyScenario(c.scenario, &config));
    m_sim->SetConfig(config);
    EXPECT_EQ(ExchangeQuiet(Bytes("02 41 42 03 00")), c.answer);
  }
}

TEST_F(SimOnVirtualLine, GarbageWithoutStxPrecedesEachFrame) {
  Config config;
  config.garbage = 12;
  StartSim(config);
  EXPECT_EQ(Exchange(kCommandS1, 1), "06");  // acknowledgements carry no garbage
  WriteToDevice(*m_host, kPoll);
  const std::string reply = ReadFromDevice(*m_host, 12 + 8, kArrive);
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(reply.substr(0, 12).find(kStx), std::string::npos);
  EXPECT_EQ(HexBytes(reply.substr(12)), HexBytes(kResponseA));
}

TEST_F(SimOnVirtualLine, MessagesSplitAcrossWritesStillParse) {
  StartSim();
  for (std::size_t i = 0; i < kCommandS1.size(); ++i) {
    WriteToDevice(*m_host, kCommandS1.substr(i, 1));
    // Each byte is taken on its own before the next is written, so the parser sees them apart.
    ASSERT_TRUE(m_sim->WaitForReceived(i + 1, kArrive));
    if (i + 1 < kCommandS1.size()) {
      EXPECT_EQ(m_sim->Sent(), "") << "after byte " << i;
    }
  }
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 1, kArrive)), "06");
  WriteToDevice(*m_host, kPoll.substr(0, 1));
  ASSERT_TRUE(m_sim->WaitForReceived(kCommandS1.size() + 1, kArrive));
  EXPECT_EQ(Exchange(kPoll.substr(1), 8), HexBytes(kResponseA));
}

TEST_F(SimOnVirtualLine, RawBlocksAckedAfterQuietGapWithDataNak) {
  Config config;
  ASSERT_TRUE(ApplyScenario("ack-raw", &config));
  config.dataNak = 2;
  StartSim(config);
  EXPECT_EQ(Exchange("HELLO", 1), "15");
  EXPECT_EQ(Exchange("HELLO", 1), "15");
  EXPECT_EQ(Exchange("HELLO", 1), "06");
  EXPECT_EQ(m_sim->GetCounters().rawBlocks, 3);
}

TEST_F(SimOnVirtualLine, DelayedReplyComesLaterAndInOrder) {
  Config config;
  config.delayMs = 40;
  config.hfParts = 1;
  config.hfFirst = {'0', "00", "00", ""};
  config.dataReply = "OK";
  StartSim(config);
  WriteToDevice(*m_host, Bytes("02 41 42 03 00"));
  // The ACK is immediate; the frames wait for the delay.
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 0, 10)), "06");
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 13, kArrive)),
            "02 4F 4B 03 07 02 30 30 30 30 30 03 33");
}

TEST_F(SimOnVirtualLine, SendOnDemand) {
  Config config;
  config.unsolicited = {"\x02X\x03"};
  StartSim(config);
  EXPECT_TRUE(m_sim->SendUnsolicited(0));
  EXPECT_FALSE(m_sim->SendUnsolicited(1));
  EXPECT_TRUE(m_sim->SendFrame("AB"));
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 8, kArrive)), "02 58 03 02 41 42 03 00");
  // A frame sent on demand is the one a host NAK repeats.
  EXPECT_EQ(Exchange(kNakByte, 5), "02 41 42 03 00");
}

// The host's background response poller: EOT ENQ, then one response frame or silence, again
// until the letter is final. Returns the letters seen, '-' for a poll left unanswered.
std::string PollUntilFinal(platform::SerialLine& host, int maxPolls) {
  std::string letters;
  for (int i = 0; i < maxPolls; ++i) {
    WriteToDevice(host, kPoll);
    const std::string reply = ReadFromDevice(host, kResponseA.size(), kQuiet);
    letters += reply.size() > 1 ? reply[1] : '-';
    if (letters.back() != '-' && letters.back() != 'B') break;
  }
  return letters;
}

TEST_F(SimOnVirtualLine, RepeatedPollsGoThroughSilenceAndBusyToTheResponse) {
  Config config;
  ASSERT_TRUE(ApplyScenario("slow-polls", &config));
  StartSim(config);
  for (int command = 0; command < 2; ++command) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Exchange(kCommandS1, 1), "06");
    EXPECT_EQ(PollUntilFinal(*m_host, 6), "-BBA");
  }
  EXPECT_EQ(m_sim->GetCounters().polls, 8);
}

TEST_F(SimOnVirtualLine, PollsWhileADelayedReplyIsHeldBackGetThatOneReply) {
  Config config;
  config.busyPolls = 1;
  config.delayMs = 60;
  StartSim(config);
  EXPECT_EQ(Exchange(kCommandS1, 1), "06");
  // A poller that gives up on each read before the late reply comes polls three times.
  for (int i = 0; i < 3; ++i) WriteToDevice(*m_host, kPoll);
  ASSERT_TRUE(m_sim->WaitForCounters([](const Counters& c) { return c.polls == 3; }, kArrive));
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 8, kArrive)), HexBytes(kResponseB));
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 0, kQuiet)), "");
  // The next poll is answered on its own, and the busy count went down once only.
  EXPECT_EQ(Exchange(kPoll, 8), HexBytes(kResponseA));
}

TEST_F(SimOnVirtualLine, TwoPartHfReplyLeavesTheGapBetweenItsFrames) {
  Config config;
  ASSERT_TRUE(ApplyScenario("hf-two-part", &config));
  config.hfGapMs = 60;
  StartSim(config);
  const std::string first = Bytes("02 30 30 35 30 32 03 34");
  const std::string second = Bytes("02 30 30 30 30 30 48 46 44 41 54 41 03 2D");
  EXPECT_EQ(Exchange(Bytes("02 41 42 03 00"), 1 + first.size() + second.size()),
            HexBytes(kAckByte + first + second));
  // The log's send times show the gap (a lower bound: the frames cannot come early).
  std::vector<std::chrono::system_clock::time_point> sentAt;
  for (const LogEvent& e : m_sim->Events()) {
    if (e.direction == Direction::kSent && (e.bytes == first || e.bytes == second)) {
      sentAt.push_back(e.time);
    }
  }
  ASSERT_EQ(sentAt.size(), 2u);
  EXPECT_GE(sentAt[1] - sentAt[0], std::chrono::milliseconds(60));
}

TEST(SimEndpoint, ReadTimesOutWakesAndReads) {
  auto peer = platform::RegisterVirtualLine("COM202");
  auto host = platform::OpenSerialLine("COM202", "").line;
  ASSERT_NE(host, nullptr);
  auto endpoint = MakeVirtualEndpoint(peer);
  char buffer[16];
  Endpoint::WaitStatus status;
  EXPECT_EQ(endpoint->Read(buffer, sizeof buffer, 10, &status), 0u);
  EXPECT_EQ(status, Endpoint::WaitStatus::kTimeout);
  endpoint->Wake();
  EXPECT_EQ(endpoint->Read(buffer, sizeof buffer, -1, &status), 0u);
  EXPECT_EQ(status, Endpoint::WaitStatus::kWoken);
  endpoint->ClearWake();
  WriteToDevice(*host, "abc");
  EXPECT_EQ(endpoint->Read(buffer, sizeof buffer, -1, &status), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  ASSERT_TRUE(endpoint->Write("xyz"));
  EXPECT_EQ(ReadFromDevice(*host, 3, kArrive), "xyz");
  host.reset();
  platform::UnregisterVirtualLine("COM202");
}

// A serial line served through the platform's serial API: here the host end of a virtual line,
// whose far end plays the host.
TEST(SimOnSerialLine, ExchangesStopsAHeldBackWriteAndNotesTheLineGone) {
  auto peer = platform::RegisterVirtualLine("COM203");
  auto line = platform::OpenSerialLine("COM203", "").line;
  ASSERT_NE(line, nullptr);
  platform::WakeEvent lineClosed;  // outlives the simulator, whose sink signals it
  DeviceSimulator sim(MakeSerialEndpoint(std::move(line)));
  sim.SetLogSink([&lineClosed](const LogEvent& event) {
    if (event.direction == Direction::kNote && event.bytes == "line closed") lineClosed.Signal();
  });
  auto exchange = [&peer](const std::string& bytes, std::size_t count) {
    peer->Write(bytes);
    std::string got;
    while (got.size() < count && peer->WaitReadable(kArrive)) {
      const std::vector<uint8_t> chunk = peer->ReadAll();
      got.append(chunk.begin(), chunk.end());
    }
    return HexBytes(got);
  };
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(exchange(kCommandS1, 1), "06");
  EXPECT_EQ(exchange(kPoll, kResponseA.size()), HexBytes(kResponseA));

  // The line holds the device's write back; Stop() ends it all the same.
  peer->StallTransmitter(true);
  bool sent = true;
  std::thread writer([&] { sent = sim.SendRaw("x"); });
  // Two waiters on the host end: the endpoint's reader and the held write.
  ASSERT_TRUE(peer->WaitHostWaiting(2, kArrive));
  sim.Stop();
  writer.join();
  EXPECT_FALSE(sent);

  peer->StallTransmitter(false);
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(exchange(kCommandS1, 1), "06");
  peer->Disconnect();
  EXPECT_TRUE(lineClosed.Wait(kArrive));
  platform::UnregisterVirtualLine("COM203");
}

TEST(SimOptions, ScenariosAndOptionsApplyInOrder) {
  ProgramOptions options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--scenario", "hf-two-part", "--busy=3", "--scenario", "busy",
                            "--letter", "R", "--code", "\\x41B", "--hf-second", "1,00,01,a,b",
                            "--ack", "silent", "--unsolicited", "x", "--verbose"},
                           &options, &error))
      << error;
  const Config& c = options.config;
  EXPECT_EQ(c.busyPolls, 2);  // the later scenario wins
  EXPECT_EQ(c.letter, 'R');
  EXPECT_EQ(c.code, "AB");
  EXPECT_EQ(c.hfParts, 2);
  EXPECT_EQ(c.hfFirst.resp, "05");
  EXPECT_EQ(c.hfSecond.reserve, '1');
  EXPECT_EQ(c.hfSecond.stat, "01");
  EXPECT_EQ(c.hfSecond.data, "a,b");
  EXPECT_EQ(c.ackMode, AckMode::kSilent);
  EXPECT_EQ(c.unsolicited, std::vector<std::string>{"x"});
  EXPECT_TRUE(options.verbose);
  EXPECT_FALSE(c.keepHistory);  // the program keeps no history

  ASSERT_TRUE(ParseOptions({"--busy", "4", "--scenario", "default"}, &options, &error));
  EXPECT_EQ(options.config.busyPolls, 0);
}

TEST(SimOptions, BinaryAndPollingOptions) {
  ProgramOptions options;
  std::string error;
  ASSERT_TRUE(ParseOptions(
      {"--scenario", "binary-wrong-bcc", "--binary-report", "41 16:42", "--binary-report-delay=5",
       "--no-report", "--raw-echo", "--unanswered-polls", "3", "--hf-gap", "7", "--binary-silent"},
      &options, &error))
      << error;
  const Config& c = options.config;
  EXPECT_EQ(c.binaryWrongBcc, 2);
  EXPECT_EQ(c.binaryReport, Bytes("41 16 42"));
  EXPECT_EQ(c.binaryReportDelayMs, 5);
  EXPECT_FALSE(c.binaryReportOn);
  EXPECT_TRUE(c.rawEcho);
  EXPECT_EQ(c.unansweredPolls, 3);
  EXPECT_EQ(c.hfGapMs, 7);
  EXPECT_EQ(c.binaryAckMode, AckMode::kSilent);

  ASSERT_TRUE(ParseOptions({"--binary-nak-always", "--binary-report", ""}, &options, &error));
  EXPECT_EQ(options.config.binaryAckMode, AckMode::kAlwaysNak);
  EXPECT_EQ(options.config.binaryReport, "");
  ASSERT_TRUE(ParseOptions({"--scenario", "silent"}, &options, &error));
  EXPECT_EQ(options.config.binaryAckMode, AckMode::kSilent);  // silent is silent on both sides
}

TEST(SimOptions, TheServedLineAndItsSettings) {
  ProgramOptions options;
  std::string error;
  ASSERT_TRUE(ParseOptions({}, &options, &error)) << error;
  EXPECT_EQ(options.port, "");  // a new pseudo-terminal
  ASSERT_TRUE(ParseOptions({"--port", "COM6", "--baud", "115200", "--data-bits=7", "--parity", "o"},
                           &options, &error))
      << error;
  EXPECT_EQ(options.port, "COM6");
  EXPECT_EQ(options.line.baudRate, 115200u);
  EXPECT_EQ(options.line.byteSize, 7);
  EXPECT_EQ(options.line.parity, platform::kOddParity);
  // The control's own defaults: 9600 baud, 8 data bits, even parity.
  ASSERT_TRUE(ParseOptions({"--port=/dev/ttyUSB0"}, &options, &error)) << error;
  EXPECT_EQ(options.port, "/dev/ttyUSB0");
  EXPECT_EQ(options.line.baudRate, 9600u);
  EXPECT_EQ(options.line.byteSize, 8);
  EXPECT_EQ(options.line.parity, platform::kEvenParity);
}

TEST(SimOptions, BadInputIsRejectedWithTheOptionNamed) {
  const std::vector<std::vector<std::string>> bad = {
      {"--scenario", "nope"},
      {"--busy", "-1"},
      {"--busy", "2x"},
      {"--busy"},
      {"--status", "1"},
      {"--letter", "AB"},
      {"--ack", "maybe"},
      {"--data", "\\x4"},
      {"--hf", "0,00"},
      {"--silent-polls=1"},
      {"--frobnicate"},
      {"--log", ""},
      {"--binary-report", "4G"},
      {"--binary-report", "411"},
      {"--binary-silent=1"},
      {"--hf-gap", "x"},
      {"--port", ""},
      {"--baud", "9600"},
      {"--baud", "0", "--port", "COM6"},
      {"--data-bits", "9", "--port", "COM6"},
      {"--parity", "M", "--port", "COM6"},
  };
  for (const auto& args : bad) {
    ProgramOptions options;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, &options, &error)) << args[0];
    EXPECT_EQ(error.rfind(args[0].substr(0, args[0].find('=')), 0), 0u) << error;
  }
}

}  // namespace
}  // namespace linvo::sim
