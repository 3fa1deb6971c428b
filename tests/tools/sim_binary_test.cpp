// The simulator's binary side, raw echo and modem lines, driven from the host end of a virtual
// line and by the port object's binary operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/comm_port.h"
#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "sim/scenarios.h"
#include "sim_test_support.h"
#include "support/port_fixture.h"
#include "support/test_env.h"

namespace linvo::sim {
namespace {

const std::string kSynNak = Bytes("16 15");
// The report 41 16 42 (check byte 41 ^ 16 ^ 42 ^ 03 = 16).
const std::string kReportData = Bytes("41 16 42");
const char* const kReport = "16 02 41 16 16 42 16 03 16";

struct BinaryAckCase {
  const char* name;
  AckMode mode;
  bool reportOn;
  std::string sent;
  std::string answer;  // hex; "" = nothing within kQuiet ms
};

TEST_F(SimOnVirtualLine, BinaryCommandFramesAnsweredByModeAndBcc) {
  const std::vector<BinaryAckCase> cases = {
      {"good BCC: SYN ACK, report", AckMode::kByBcc, true, kBinaryCommand,
       std::string("16 06 ") + kReport},
      {"wrong BCC", AckMode::kByBcc, true, Bytes("16 02 01 16 16 02 16 03 17"), "16 15"},
      {"broken by SYN 41", AckMode::kByBcc, true, Bytes("16 02 01 16 41"), "16 15"},
      {"no report", AckMode::kByBcc, false, kBinaryCommand, "16 06"},
      {"NAK always", AckMode::kAlwaysNak, true, kBinaryCommand, "16 15"},
      {"silent", AckMode::kSilent, true, kBinaryCommand, ""},
  };
  StartSim();
  for (const BinaryAckCase& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    config.binaryAckMode = c.mode;
    config.binaryReportOn = c.reportOn;
    config.binaryReport = kReportData;
    m_sim->SetConfig(config);
    EXPECT_EQ(ExchangeQuiet(c.sent), c.answer);
  }
  const Counters counters = m_sim->GetCounters();
  EXPECT_EQ(counters.binaryCommands, 4);
  EXPECT_EQ(counters.binaryBadFrames, 2);
  EXPECT_EQ(counters.commands + counters.dataFrames + counters.badFrames, 0);  // no text seen
}

TEST_F(SimOnVirtualLine, WrongBccReportsRepeatedOnSynNakThenGoodOneAcked) {
  Config config;
  ASSERT_TRUE(ApplyScenario("binary-wrong-bcc", &config));  // 2 bad reports per command
  StartSim(config);
  // The default report 30 30: check byte 30 ^ 30 ^ 03 = 03; spoiled, FC.
  const std::string bad = "16 02 30 30 16 03 FC";
  const std::string good = "16 02 30 30 16 03 03";
  EXPECT_EQ(Exchange(kBinaryCommand, 2 + 7), "16 06 " + bad);
  EXPECT_EQ(Exchange(kSynNak, 7), bad);
  EXPECT_EQ(Exchange(kSynNak, 7), good);
  WriteToDevice(*m_host, kSynAck);
  ASSERT_TRUE(
      m_sim->WaitForCounters([](const Counters& c) { return c.reportsAcked == 1; }, kArrive));
  EXPECT_EQ(m_sim->GetCounters().binaryHostNaks, 2);
  EXPECT_EQ(m_sim->Events().back().bytes, "host SYN ACK of the report");
  // The count is per command.
  EXPECT_EQ(Exchange(kBinaryCommand, 2 + 7), "16 06 " + bad);
}

TEST_F(SimOnVirtualLine, RawEchoSendsEveryByteBackUnchanged) {
  Config config;
  ASSERT_TRUE(ApplyScenario("raw-echo", &config));
  StartSim(config);
  // Every byte value, the protocols' control bytes included.
  std::string block(4096, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 256);
  WriteToDevice(*m_host, block);
  const std::string echoed = ReadFromDevice(*m_host, block.size(), kArrive);
  ASSERT_EQ(echoed.size(), block.size());
  EXPECT_TRUE(echoed == block);
  EXPECT_EQ(HexBytes(ReadFromDevice(*m_host, 0, kQuiet)), "");  // nothing parsed or answered
  const Counters counters = m_sim->GetCounters();
  EXPECT_EQ(counters.echoedBytes, 4096);
  EXPECT_EQ(counters.polls + counters.binaryCommands + counters.rawBlocks, 0);
}

TEST_F(SimOnVirtualLine, ModemLinesAndErrorsReachTheHostAndHostLinesShowHere) {
  StartSim();
  uint32_t status = 0;
  ASSERT_TRUE(m_sim->SetModemLines(platform::kMsCtsOn | platform::kMsRingOn));
  ASSERT_TRUE(m_host->GetModemStatus(&status));
  EXPECT_EQ(status, platform::kMsCtsOn | platform::kMsRingOn);
  ASSERT_TRUE(m_sim->SetModemLine(platform::kMsDsrOn, true));
  ASSERT_TRUE(m_sim->SetModemLine(platform::kMsCtsOn, false));
  ASSERT_TRUE(m_host->GetModemStatus(&status));
  EXPECT_EQ(status, platform::kMsDsrOn | platform::kMsRingOn);
  EXPECT_EQ(m_sim->ModemLines(), status);

  ASSERT_TRUE(m_host->EscapeFunction(platform::kSetDtr));
  ASSERT_TRUE(m_host->EscapeFunction(platform::kClrRts));
  ASSERT_TRUE(m_host->EscapeFunction(platform::kSetBreak));
  EXPECT_EQ(m_sim->HostLines(), platform::kHostDtr | platform::kHostBreak);
  ASSERT_TRUE(m_host->EscapeFunction(platform::kClrDtr));
  ASSERT_TRUE(m_host->EscapeFunction(platform::kSetRts));
  ASSERT_TRUE(m_host->EscapeFunction(platform::kClrBreak));
  EXPECT_EQ(m_sim->HostLines(), platform::kHostRts);

  ASSERT_TRUE(m_sim->InjectLineErrors(platform::kCeFrame | platform::kCeBreak));
  uint32_t errors = 0;
  ASSERT_TRUE(m_host->ClearError(&errors, nullptr));
  EXPECT_EQ(errors, platform::kCeFrame | platform::kCeBreak);
}

TEST_F(SimOnVirtualLine, ScriptedDsrDropReachesTheHostAsALineEvent) {
  StartSim();
  ASSERT_TRUE(m_host->SetEventMask(platform::kEvDsr));
  // Armed while the serving loop waits without a time-out: SetConfig must wake it.
  Config config;
  config.dropDsrAfterMs = 20;
  m_sim->SetConfig(config);
  uint32_t events = 0;
  ASSERT_EQ(m_host->WaitEvent(&events, kArrive, nullptr), platform::WaitResult::kReady);
  EXPECT_EQ(events, platform::kEvDsr);
  uint32_t status = 0;
  ASSERT_TRUE(m_host->GetModemStatus(&status));
  EXPECT_EQ(status, platform::kMsCtsOn | platform::kMsRlsdOn);
}

// The port object's binary operations against the simulator.
class SimWithPortObject : public test::VirtualPortTest {
 protected:
  void SetUp() override {
    test::VirtualPortTest::SetUp();
    Config config;
    config.binaryReport = kReportData;
    config.binaryWrongBcc = 2;
    m_sim = std::make_unique<DeviceSimulator>(MakeVirtualEndpoint(m_peer), config);
    ASSERT_TRUE(m_sim->Start());
  }
  void TearDown() override {
    m_sim.reset();
    test::VirtualPortTest::TearDown();
  }
  std::unique_ptr<DeviceSimulator> m_sim;
};

TEST_F(SimWithPortObject, CommandWithReportAndRawEchoRoundTrip) {
  const uint8_t data[] = {0x01, 0x16, 0x02};
  uint8_t reply[64] = {};
  int16_t replyLength = 0;
  EXPECT_EQ(m_port->SendBinaryCommandRR("lvoSendBinaryCommandRR", 500, 2, 0, 0, data, 3, 500, reply,
                                        sizeof reply, &replyLength),
            0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), replyLength), kReportData);
  ASSERT_TRUE(
      m_sim->WaitForCounters([](const Counters& c) { return c.reportsAcked == 1; }, kArrive));
  EXPECT_EQ(m_sim->GetCounters().binaryHostNaks, 2);

  Config config = m_sim->GetConfig();
  config.rawEcho = true;
  m_sim->SetConfig(config);
  std::vector<uint8_t> block(4096);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(m_port->SendBinaryData("lvoSendBinaryData", 500, 0, 0, block.data(), 4096), 0);
  std::vector<uint8_t> echoed(8192);
  int16_t length = 0;
  EXPECT_EQ(m_port->ReceiveBinaryData("lvoReceiveBinaryData", 500, 0, echoed.data(), 8192, &length),
            0);
  echoed.resize(static_cast<std::size_t>(std::max<int16_t>(length, 0)));
  EXPECT_TRUE(echoed == block) << "echoed " << length << " bytes";
}

}  // namespace
}  // namespace linvo::sim
