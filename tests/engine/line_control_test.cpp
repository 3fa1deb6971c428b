#include "portapi/port_table.h"
#include "support/port_fixture.h"

namespace linvo::engine {
namespace {

using test::VirtualPortTest;

using LineControl = VirtualPortTest;

struct LineCase {
  int32_t selector;
  int32_t state;
  uint32_t hostLines;  // after the call, starting from DTR and RTS on
};

class LineSelectors : public LineControl, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSelectors, ReachTheFarEnd) {
  const LineCase c = GetParam();
  ASSERT_EQ(m_peer->HostLines(), platform::kHostDtr | platform::kHostRts);
  EXPECT_EQ(m_port->SetLineControl("SetDTRLineControl", c.selector, c.state), 0);
  EXPECT_EQ(m_peer->HostLines(), c.hostLines);
  EXPECT_EQ(NewTrace(), test::Bracket("SetDTRLineControl", {}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineSelectors,
    ::testing::Values(LineCase{1, 0, platform::kHostRts}, LineCase{1, 2, platform::kHostRts},
                      LineCase{1, 1, platform::kHostDtr | platform::kHostRts},
                      LineCase{2, 0, platform::kHostDtr},
                      LineCase{3, 1,
                               platform::kHostDtr | platform::kHostRts | platform::kHostBreak}));

TEST_F(LineControl, SelectorOutOfRange) {
  EXPECT_EQ(m_port->SetLineControl("SetBreakControl", 4, 1), 30);
  EXPECT_EQ(NewTrace(), test::Bracket("SetBreakControl", {}));
  // The entry function refuses it before any port object exists.
  EXPECT_EQ(portapi::SetLineControl("SetBreakControl", 150, 4, 1), 100);
  EXPECT_EQ(portapi::SetLineControl("SetBreakControl", 150, 0, 1), 100);
  EXPECT_EQ(portapi::PortTable().Find(150), nullptr);
}

TEST_F(LineControl, ModemStatusShowsTheFarEndsLines) {
  uint32_t status = 0;
  m_peer->SetModemLines(platform::kMsCtsOn | platform::kMsRingOn);
  EXPECT_EQ(m_port->GetModemStatus("GetGetCommStatus", &status), 0);
  EXPECT_EQ(status, platform::kMsCtsOn | platform::kMsRingOn);
  EXPECT_EQ(NewTrace(), test::Bracket("GetGetCommStatus", {"Info    |Return Value is 0"}));
}

TEST_F(LineControl, ClosedPortRefusals) {
  m_port->ClosePort("lvoClosePort");
  NewTrace();
  uint32_t status = 77;
  EXPECT_EQ(portapi::GetModemStatus("GetGetCommStatus", 0, &status), 100);
  EXPECT_EQ(status, 0u);
  status = 77;
  EXPECT_EQ(portapi::GetModemStatus("GetGetCommStatus", 151, &status), 101);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(m_port->SetCancelFlag("SetCancelFlag", 1), 101);
  EXPECT_EQ(m_port->PurgeBuffers("lvoComBufferClear(1)"), 101);
  EXPECT_EQ(m_port->SetLineControl("SetRTSLineControl", 2, 1), 101);
  EXPECT_EQ(NewTrace()[2], "ErrInfo |ErrorCode 101: Serial Port is not opened yet");
}

TEST_F(LineControl, ClaimedAlwaysEndsWithErrExit) {
  EXPECT_EQ(m_port->IsClaimed("GetClaimed"), 1);
  EXPECT_EQ(NewTrace(), test::Bracket("GetClaimed", {"Info    |Return Value is TRUE"}, "ErrExit "));
  m_port->ClosePort("lvoClosePort");
  NewTrace();
  EXPECT_EQ(m_port->IsClaimed("GetClaimed"), 0);
  EXPECT_EQ(NewTrace(),
            test::Bracket("GetClaimed", {"Info    |Return Value is FALSE"}, "ErrExit "));
}

TEST_F(LineControl, EventMaskWorksOnANeverOpenedPort) {
  CCommPort fresh(8);
  EXPECT_EQ(fresh.SetEventMask("SetEventMask", 0x1FF), 0);
  std::vector<std::string> lines = test::TraceSequence(m_dir.Path() + "/trace008.log");
  lines.erase(lines.begin());  // the version line
  EXPECT_EQ(lines, test::Bracket("SetEventMask", {}));
}

TEST_F(LineControl, CancelFlagWithoutAWorker) {
  EXPECT_EQ(m_port->SetCancelFlag("SetCancelFlag", 1), 30);
  EXPECT_EQ(NewTrace(), test::Bracket("SetCancelFlag", {}));
}

TEST_F(LineControl, BufferClearBrackets) {
  EXPECT_EQ(m_port->PurgeBuffers("lvoComBufferClear(1)"), 0);
  EXPECT_EQ(NewTrace(), test::Bracket("lvoComBufferClear(1)", {"Info    |Return Value is 0"}));
  EXPECT_EQ(m_port->PurgeBuffers({"lvoComBufferClear(0)", Bracket::kOpens}), 0);
  EXPECT_EQ(m_port->ComBufferClear({"lvoComBufferClear(0)", Bracket::kCloses}), 0);
  EXPECT_EQ(NewTrace(), test::Bracket("lvoComBufferClear(0)", {"Info    |Return Value is 0"}));
}

TEST_F(LineControl, CommSettingsChangeTheFlowChecks) {
  EXPECT_EQ(m_port->SetCommSettings("SetCommSettings", 0, 1), 0);
  EXPECT_EQ(NewTrace(), test::Bracket("SetCommSettings", {"Info    |Return Value is 0"}));
}

TEST_F(LineControl, CommSettingsFailureLeavesThePortClosed) {
  m_peer->Disconnect();
  EXPECT_EQ(m_port->SetCommSettings("SetCommSettings", 1, 1), 100);
  EXPECT_FALSE(m_port->IsOpen());
  EXPECT_FALSE(m_peer->HostOpen());
  uint32_t status = 0;
  EXPECT_EQ(m_port->GetModemStatus("GetGetCommStatus", &status), 101);
}

}  // namespace
}  // namespace linvo::engine
