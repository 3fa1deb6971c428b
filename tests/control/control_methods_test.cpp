// The control's methods end to end: the control drives the simulator over a virtual line, and
// the tests look at the wire, the result properties, the events and the trace.
#include <gmock/gmock.h>

#include <algorithm>

#include "control_fixture.h"
#include "engine/notify.h"
#include "portapi/port_table.h"

namespace linvo::control {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kEot = "\x04";

std::string CommandFrame(const std::string& payload) { return kEot + sim::MakeFrame(payload); }

std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST_F(ControlOnSim, SendDataSplitsIntoCommandCodeAndParameterText) {
  struct Case {
    const char* sendData;
    int32_t result;
    std::string wire;
  };
  const Case cases[] = {
      {"S", 100, ""},  // a one-character code: the port refuses it
      {"S1", 2, CommandFrame("S1")},
      {"S1ABC", 2, CommandFrame("S1ABC")},
  };
  Open();
  std::size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sendData);
    m_ctrl->SetSendData(c.sendData);
    EXPECT_EQ(m_ctrl->lvoSendCommand(), c.result);
    if (!c.wire.empty()) {
      ASSERT_TRUE(m_sim->WaitForReceived(seen + c.wire.size(), 2000));
    }
    EXPECT_EQ(sim::HexBytes(m_sim->Received().substr(seen)), sim::HexBytes(c.wire));
    seen = m_sim->Received().size();
  }
}

// Response placement, for the sending and the receive-only method: 10 and 12 fill PollCmdErr,
// 11 fills PollCmdSen; a failure clears the fields (send) or leaves them (receive).
TEST_F(ControlOnSim, ResponsesArePlacedByTheirKind) {
  struct Case {
    const char* name;
    char letter;
    sim::AckMode ack;
    bool silent;
    int32_t result;
    const char* err;
    const char* sen;
  };
  const Case cases[] = {
      {"A", 'A', sim::AckMode::kByBcc, false, 10, "E1", ""},
      {"R", 'R', sim::AckMode::kByBcc, false, 11, "", "E1"},
      {"B", 'B', sim::AckMode::kByBcc, false, 12, "E1", ""},
      {"failure", 'A', sim::AckMode::kAlwaysNak, true, -1, "", ""},
  };
  Open();
  m_ctrl->SetSendData("S1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Config config;
    config.letter = c.letter;
    config.status = "01";
    config.code = "E1";
    config.data = "xyz";
    config.ackMode = c.ack;
    config.silentPolls = c.silent;
    Configure(config);
    const int32_t sent = m_ctrl->lvoSendCommandRR(0, 1000);
    if (c.result >= 0) {
      EXPECT_EQ(sent, c.result);
      EXPECT_EQ(P().PollCmdComSts, "01");
      EXPECT_EQ(P().PollCmdResData, "xyz");
    } else {
      EXPECT_EQ(sent, 3) << "NAK";
      EXPECT_EQ(P().PollCmdComSts, "");
      EXPECT_EQ(P().PollCmdResData, "");
    }
    EXPECT_EQ(P().PollCmdErr, c.err);
    EXPECT_EQ(P().PollCmdSen, c.sen);

    // The receive-only method on a fresh poll: the same placement, or the last values kept.
    const ControlProperties before = P();
    const int32_t received = m_ctrl->lvoReceiveResponse(0, 1000);
    if (c.result >= 0) {
      EXPECT_EQ(received, c.result);
      EXPECT_EQ(P().PollCmdErr, c.err);
      EXPECT_EQ(P().PollCmdSen, c.sen);
    } else {
      EXPECT_EQ(received, 110);
      EXPECT_EQ(P().PollCmdComSts, before.PollCmdComSts);
    }
  }
}

TEST_F(ControlOnSim, DataMethodsSendAndReceiveText) {
  sim::Config config;
  config.dataReply = "OK";
  Configure(config);
  Open();
  m_ctrl->SetSendData("HELLO");
  EXPECT_EQ(m_ctrl->lvoSendDataBCCRR(0, 1), 0);
  EXPECT_EQ(P().ReceiveData, "OK");
  EXPECT_EQ(P().ReceiveDataLen, 2);
  EXPECT_THAT(m_sim->Received(), HasSubstr(sim::MakeFrame("HELLO")));

  // lvoSendData: framed with ACK wait, and under its formatted caller name.
  config.dataReply.reset();
  Configure(config);
  NewTrace();
  EXPECT_EQ(m_ctrl->lvoSendData(1, 0, 1), 0);
  EXPECT_EQ(P().ReceiveData, "") << "a send clears the results";
  const std::vector<std::string> lines = NewTrace();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Enter   |lvoSendData(1,1)");
  EXPECT_EQ(lines.back(), "Exit    |lvoSendData(1,1)");

  // lvoReceiveData plain: whatever arrived.
  m_peer->Write(std::string("RAW"));
  EXPECT_EQ(m_ctrl->lvoReceiveData(0, 0, 0), 0);
  EXPECT_EQ(P().ReceiveData, "RAW");
  EXPECT_EQ(P().ReceiveDataLen, 3);
}

// 120 (a wrong BCC): lvoReceiveData and lvoReceiveDataHF take the data, lvoSendDataHFRR does not.
TEST_F(ControlOnSim, BccErrorPlacementDiffersByMethod) {
  Open();
  std::string frame = sim::MakeFrame("BAD");
  frame.back() ^= 0x55;
  m_peer->Write(frame);
  EXPECT_EQ(m_ctrl->lvoReceiveData(0, 0, 1), 120);
  EXPECT_EQ(P().ReceiveData, "BAD");

  std::string hf = sim::MakeFrame("0R1S2data");
  hf.back() ^= 0x55;
  m_peer->Write(hf);
  EXPECT_EQ(m_ctrl->lvoReceiveDataHF(0, 0), 120);
  EXPECT_EQ(P().HFReceiveResp, "R1");
  EXPECT_EQ(P().HFReceiveData, "data");

  sim::Config config;
  config.ackMode = sim::AckMode::kSilent;
  Configure(config);
  m_ctrl->SetSendData("Q");
  m_peer->Write(hf);
  EXPECT_EQ(m_ctrl->lvoSendDataHFRR(0, 0), 120);
  EXPECT_EQ(P().HFReceiveResp, "");
  EXPECT_EQ(P().HFReceiveData, "");
}

TEST_F(ControlOnSim, ComBufferClearFlagsAndTheirBrackets) {
  Open();
  NewTrace();
  EXPECT_EQ(m_ctrl->lvoComBufferClear(3), 100);
  EXPECT_THAT(NewTrace(), ElementsAre()) << "flag 3 touches nothing";
  EXPECT_EQ(m_ctrl->lvoComBufferClear(0), 0);
  const std::vector<std::string> both = NewTrace();
  EXPECT_EQ(Count(both, "Enter   |lvoComBufferClear(0)"), 1u);
  EXPECT_EQ(Count(both, "Exit    |lvoComBufferClear(0)"), 1u);
  EXPECT_EQ(m_ctrl->lvoComBufferClear(1), 0);
  EXPECT_EQ(Count(NewTrace(), "Exit    |lvoComBufferClear(1)"), 1u);
  EXPECT_EQ(m_ctrl->lvoComBufferClear(2), 0);
  EXPECT_EQ(Count(NewTrace(), "Exit    |lvoComBufferClear(2)"), 1u);
}

TEST_F(ControlOnSim, BinaryMethodsConvertHexBothWays) {
  Open();
  // "0A1b2": two bytes, the odd last character ignored; "" converts to no bytes at all.
  m_ctrl->SetSendData("0A1b2");
  EXPECT_EQ(m_ctrl->lvoSendBinaryData(), 0);
  ASSERT_TRUE(m_sim->WaitForReceived(2, 2000));
  EXPECT_EQ(sim::HexBytes(m_sim->Received()), "0A 1B");
  m_ctrl->SetSendData("");
  EXPECT_EQ(m_ctrl->lvoSendBinaryData(), 100);

  sim::Config config;
  config.binaryReport = std::string("\x01\xAB\xFF", 3);
  Configure(config);
  m_ctrl->SetSendData("10");
  EXPECT_EQ(m_ctrl->lvoSendBinaryCommandRR(0, 0), 0);
  EXPECT_EQ(P().ReceiveData, "01ABFF");
  EXPECT_EQ(P().ReceiveDataLen, 3);

  m_peer->Write(std::string("\x7f\x00", 2));
  EXPECT_EQ(m_ctrl->lvoReceiveBinaryData(), 0);
  EXPECT_EQ(P().ReceiveData, "7F00");
  EXPECT_EQ(P().ReceiveDataLen, 2);
  // A failed binary receive empties the results.
  EXPECT_EQ(m_ctrl->lvoReceiveBinaryReport(0, 0), 110);
  EXPECT_EQ(P().ReceiveData, "");
  EXPECT_EQ(P().ReceiveDataLen, 0);
}

// Each background method returns 1, and its event comes with the result properties set; a
// combined method traces one bracket under its name.
TEST_F(ControlOnSim, BackgroundMethodsDeliverTheirEvents) {
  struct Case {
    const char* name;
    std::function<void(sim::Config&)> configure;
    std::function<int32_t(CLinvoCtrl&)> start;
    std::function<void(sim::DeviceSimulator&)> device;  // what the device sends then
    const char* event;
    int32_t argument;
    std::function<void(const ControlProperties&)> check;
    const char* bracket;  // the caller name of the start's trace bracket
  };
  const Case cases[] = {
      {"lvoSendCommandRR", [](sim::Config& c) { c.data = "RES"; },
       [](CLinvoCtrl& c) { return c.lvoSendCommandRR(2, 1000); }, nullptr,
       "lvoReceiveResponseEvent", 10,
       [](const ControlProperties& p) { EXPECT_EQ(p.PollCmdResData, "RES"); }, "lvoSendCommandRR"},
      {"lvoReceiveResponse",
       [](sim::Config& c) {
         c.letter = 'R';
         c.code = "S9";
       },
       [](CLinvoCtrl& c) { return c.lvoReceiveResponse(2, 1000); }, nullptr,
       "lvoReceiveResponseEvent", 11,
       [](const ControlProperties& p) { EXPECT_EQ(p.PollCmdSen, "S9"); }, "lvoReceiveResponse"},
      {"lvoSendDataBCCRR", [](sim::Config& c) { c.dataReply = "BCC"; },
       [](CLinvoCtrl& c) { return c.lvoSendDataBCCRR(1, 0); }, nullptr, "lvoReceiveDataBCCEvent", 0,
       [](const ControlProperties& p) {
         EXPECT_EQ(p.ReceiveData, "BCC");
         EXPECT_EQ(p.ReceiveDataLen, 3);
       },
       "lvoSendDataBCCRR"},
      {"lvoReceiveData", nullptr, [](CLinvoCtrl& c) { return c.lvoReceiveData(1, 0, 1); },
       [](sim::DeviceSimulator& d) { d.SendFrame("DATA"); }, "lvoReceiveDataBCCEvent", 0,
       [](const ControlProperties& p) { EXPECT_EQ(p.ReceiveData, "DATA"); },
       "lvoReceiveData(1,0,1)"},
      {"lvoReceiveDataHF",
       [](sim::Config& c) {
         c.hfParts = 1;
         c.hfFirst = {'1', "R1", "S1", "one"};
       },
       [](CLinvoCtrl& c) { return c.lvoReceiveDataHF(1, 0); },
       [](sim::DeviceSimulator& d) { d.SendHfReply(); }, "lvoReceiveDataHFEvent", 0,
       [](const ControlProperties& p) {
         EXPECT_EQ(p.HFReceiveReserve, "1");
         EXPECT_EQ(p.HFReceiveResp, "R1");
         EXPECT_EQ(p.HFReceiveStat, "S1");
         EXPECT_EQ(p.HFReceiveData, "one");
         EXPECT_EQ(p.HFReceiveDataLen, 3);
       },
       "lvoReceiveDataHF"},
      {"lvoSendDataHFRR",
       [](sim::Config& c) {
         c.ackMode = sim::AckMode::kSilent;
         c.hfParts = 1;
         c.hfFirst = {'0', "OK", "00", "hf"};
       },
       [](CLinvoCtrl& c) { return c.lvoSendDataHFRR(1, 0); },
       [](sim::DeviceSimulator& d) { d.SendHfReply(); }, "lvoReceiveDataHFEvent", 0,
       [](const ControlProperties& p) { EXPECT_EQ(p.HFReceiveData, "hf"); }, "lvoSendDataHFRR"},
      {"lvoSendBinaryCommandRR", [](sim::Config& c) { c.binaryReport = "\x16\x01"; },
       [](CLinvoCtrl& c) { return c.lvoSendBinaryCommandRR(1, 0); }, nullptr,
       "lvoReceiveBinaryReportEvent", 0,
       [](const ControlProperties& p) {
         EXPECT_EQ(p.ReceiveData, "1601");
         EXPECT_EQ(p.ReceiveDataLen, 2);
       },
       "lvoSendBinaryCommandRR"},
      {"lvoReceiveBinaryReport", nullptr,
       [](CLinvoCtrl& c) { return c.lvoReceiveBinaryReport(1, 0); },
       [](sim::DeviceSimulator& d) { d.SendBinaryReport("\xAB"); }, "lvoReceiveBinaryReportEvent",
       0, [](const ControlProperties& p) { EXPECT_EQ(p.ReceiveData, "AB"); },
       "lvoReceiveBinaryReport"},
  };
  m_ctrl->SetResponseTimer(2000);
  Open();
  m_ctrl->SetSendData("S1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Config config;
    if (c.configure) c.configure(config);
    Configure(config);
    m_sink->heard.clear();
    NewTrace();
    EXPECT_EQ(c.start(*m_ctrl), 1);
    if (c.device) c.device(*m_sim);
    ASSERT_TRUE(m_sink->WaitFor(1));
    const HeardEvent& e = m_sink->heard[0];
    EXPECT_EQ(e.name, c.event);
    EXPECT_EQ(e.argument, c.argument);
    c.check(e.properties);
    EXPECT_EQ(e.properties.CancelFlag, FALSE);
    // One bracket on this thread, under the method's name: at most one opening (none for the
    // formatted name the start does not open for), one unlock and the exit.
    const std::vector<std::string> lines = NewTrace();
    const std::string exit = std::string("Exit    |") + c.bracket;
    const auto end = std::find(lines.begin(), lines.end(), exit);
    ASSERT_NE(end, lines.end());
    const std::vector<std::string> bracket(lines.begin(), end + 1);
    const bool formatted = std::string(c.bracket).find('(') != std::string::npos;
    EXPECT_EQ(Count(bracket, std::string("Enter   |") + c.bracket), formatted ? 0u : 1u);
    EXPECT_EQ(Count(bracket, std::string("CSUnlock|") + c.bracket), 1u);
    for (const std::string& line : bracket) {
      if (line.rfind("Enter", 0) == 0 || line.rfind("Exit", 0) == 0) {
        EXPECT_THAT(line, HasSubstr(c.bracket));
      }
    }
  }
}

// A line change reaches the host as lvoCommEvent once EventMask lets it through. (Whether the
// watcher saw the first change before or after the mask changed is up to its thread; the
// control's own masking is checked with posted records in the event tests.)
TEST_F(ControlOnSim, CommEventsReachTheHostOnceUnmasked) {
  Open();
  m_ctrl->SetEventMask(0x0FFF);
  EXPECT_EQ(P().EventMask, 0x0FFF);
  ASSERT_TRUE(m_sim->SetModemLine(platform::kMsCtsOn, false));
  ASSERT_TRUE(m_sink->WaitFor(1));
  EXPECT_EQ(m_sink->heard[0].name, "lvoCommEvent");
  EXPECT_EQ(m_sink->heard[0].argument, 8);
  m_ctrl->SetEventMask(0);
  EXPECT_EQ(P().EventMask, 0);
}

// A control whose watcher registration meets one already registered on the shared port.
class CompetingWatcherCtrl : public CLinvoCtrl {
 protected:
  int32_t RegisterCommWatcher(int32_t portNo, int32_t eventMask) override {
    EXPECT_EQ(portapi::WatchCommEvents("other", portNo, Callback, 0, 0), 0);
    return CLinvoCtrl::RegisterCommWatcher(portNo, eventMask);
  }
  static long Callback(long, long, long, long) { return 0; }
};

TEST_F(ControlOnSim, FailedWatcherRegistrationClosesThePortAndReturnsItsCode) {
  CompetingWatcherCtrl c;
  c.SetPortNo(kPort);
  c.SetParity("N");
  EXPECT_EQ(c.lvoOpenPort(), 30);
  EXPECT_FALSE(c.IsPortOpen(kPort));
  EXPECT_EQ(portapi::IsClaimed("probe", kPort), 0) << "closed again";
}

TEST_F(ControlOnSim, OpenWritesTheWindowSlotFirstAndTheDestructorCloses) {
  // No line behind port 22: the open fails, but the slot already names this control.
  CLinvoCtrl other;
  other.SetPortNo(22);
  EXPECT_EQ(other.lvoOpenPort(), 101);
  EXPECT_EQ(engine::ControlWindow(22), other.Window());

  Open();
  EXPECT_TRUE(m_ctrl->IsPortOpen(kPort));
  EXPECT_EQ(P().BreakControl, FALSE);
  EXPECT_EQ(P().DTRLineControl, TRUE);
  m_ctrl.reset();
  EXPECT_EQ(portapi::IsClaimed("probe", kPort), 0);
}

// Two controls on one port share it; the one that opened last gets the port's events.
TEST_F(ControlOnSim, TheControlThatOpenedLastGetsTheEvents) {
  Open();
  CLinvoCtrl second;
  second.SetPortNo(kPort);
  RecordingSink secondSink(&second);
  second.Advise(&secondSink);
  EXPECT_NE(second.lvoOpenPort(), 0) << "already open";
  EXPECT_EQ(engine::ControlWindow(kPort), second.Window());

  m_ctrl->SetSendData("S1");
  EXPECT_EQ(m_ctrl->lvoSendCommandRR(2, 1000), 1);
  ASSERT_TRUE(secondSink.WaitFor(1));
  EXPECT_EQ(secondSink.heard[0].name, "lvoReceiveResponseEvent");
  EXPECT_EQ(second.Properties().PollCmdComSts, "00");
  EXPECT_TRUE(m_sink->heard.empty());
  EXPECT_EQ(P().PollCmdComSts, "");
}

}  // namespace
}  // namespace linvo::control
