// The control's notification handlers, fed with records posted straight to its window, and its
// event connections.
#include <gmock/gmock.h>

#include <cstring>

#include "control/json_property_bag.h"
#include "control_fixture.h"
#include "engine/notify.h"

namespace linvo::control {
namespace {

using engine::NotifyRecord;

uint8_t* Bytes(const std::string& text) {
  auto* data = new uint8_t[text.size() + 1];
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = 0;
  return data;
}

NotifyRecord* Record(const char* data, const char* data2 = nullptr) {
  auto* r = new NotifyRecord;
  if (data != nullptr) {
    r->pData = Bytes(data);
    r->nDataLen = static_cast<int16_t>(std::strlen(data));
  }
  if (data2 != nullptr) {
    r->pData2 = Bytes(data2);
    r->nData2Len = static_cast<int16_t>(std::strlen(data2));
  }
  return r;
}

class ControlEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    m_ctrl = std::make_unique<CLinvoCtrl>();
    m_sink = std::make_unique<RecordingSink>(m_ctrl.get());
    m_ctrl->Advise(m_sink.get());
  }
  void Post(uint32_t msg, NotifyRecord* record, uint32_t bit) {
    ASSERT_TRUE(platform::PostWindowMessage(m_ctrl->Window(), msg,
                                            reinterpret_cast<platform::WParam>(record), bit));
  }
  // CancelFlag TRUE, as a running background receive may have it (a closed port refuses the
  // put), loaded through the persisted data.
  void LoadCancelFlag() {
    JsonPropertyBag bag;
    bag.WriteBool("CancelFlag", TRUE);
    m_ctrl->Load(bag);
  }

  test::ScopedWorkDir m_dir;
  std::unique_ptr<CLinvoCtrl> m_ctrl;
  std::unique_ptr<RecordingSink> m_sink;
};

struct HandlerCase {
  const char* name;
  uint32_t message;
  uint32_t bit;
  const char* data;   // null: no pData
  const char* data2;  // HF second part
  bool nullRecord;
  const char* event;
  int32_t argument;
  // Expected fields: PollCmdComSts/Err/Sen/ResData, ReceiveData/Len, HF reserve/resp/stat/data/len.
  std::vector<std::string> poll;
  std::string receiveData;
  int32_t receiveLen;
  std::vector<std::string> hf;
  int32_t hfLen;
};

TEST_F(ControlEvents, HandlersFollowTheBitToCodeTable) {
  using namespace engine;
  const std::vector<HandlerCase> cases = {
      {"response A",
       WM_PORT_RESPONSE,
       0x0001,
       "A00E1xy",
       nullptr,
       false,
       "lvoReceiveResponseEvent",
       10,
       {"00", "E1", "", "xy"},
       "",
       0,
       {"", "", "", ""},
       0},
      {"response R",
       WM_PORT_RESPONSE,
       0x0002,
       "A00E1xy",
       nullptr,
       false,
       "lvoReceiveResponseEvent",
       11,
       {"00", "", "E1", "xy"},
       "",
       0,
       {"", "", "", ""},
       0},
      {"response of five",
       WM_PORT_RESPONSE,
       0x0001,
       "A00E1",
       nullptr,
       false,
       "lvoReceiveResponseEvent",
       10,
       {"00", "E1", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"response too short",
       WM_PORT_RESPONSE,
       0x0001,
       "A0",
       nullptr,
       false,
       "lvoReceiveResponseEvent",
       10,
       {"0", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"response busy time-out",
       WM_PORT_RESPONSE,
       0x4000,
       "A00E1xy",
       nullptr,
       false,
       "lvoReceiveResponseEvent",
       113,
       {"", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"response null record",
       WM_PORT_RESPONSE,
       0x0001,
       nullptr,
       nullptr,
       true,
       "lvoReceiveResponseEvent",
       10,
       {"", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"binary data",
       WM_PORT_BINARY,
       0x0001,
       "\x01\xab",
       nullptr,
       false,
       "lvoReceiveBinaryReportEvent",
       0,
       {"", "", "", ""},
       "01AB",
       2,
       {"", "", "", ""},
       0},
      {"binary BCC error",
       WM_PORT_BINARY,
       0x0800,
       "\x01",
       nullptr,
       false,
       "lvoReceiveBinaryReportEvent",
       120,
       {"", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"binary R",
       WM_PORT_BINARY,
       0x0002,
       nullptr,
       nullptr,
       false,
       "lvoReceiveBinaryReportEvent",
       30,
       {"", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"BCC data",
       WM_PORT_BCC,
       0x0002,
       "abc",
       nullptr,
       false,
       "lvoReceiveDataBCCEvent",
       0,
       {"", "", "", ""},
       "abc",
       3,
       {"", "", "", ""},
       0},
      {"BCC error",
       WM_PORT_BCC,
       0x0800,
       "abc",
       nullptr,
       false,
       "lvoReceiveDataBCCEvent",
       120,
       {"", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"BCC 0x4000 is data",
       WM_PORT_BCC,
       0x4000,
       "abc",
       nullptr,
       false,
       "lvoReceiveDataBCCEvent",
       0,
       {"", "", "", ""},
       "abc",
       3,
       {"", "", "", ""},
       0},
      {"HF one part",
       WM_PORT_HF,
       0x0001,
       "1R1S1abc",
       nullptr,
       false,
       "lvoReceiveDataHFEvent",
       0,
       {"", "", "", ""},
       "",
       0,
       {"1", "R1", "S1", "abc"},
       3},
      {"HF second part wins",
       WM_PORT_HF,
       0x0001,
       "1R1S1abc",
       "2R2S2z",
       false,
       "lvoReceiveDataHFEvent",
       0,
       {"", "", "", ""},
       "",
       0,
       {"2", "R2", "S2", "z"},
       1},
      {"HF BCC error keeps data",
       WM_PORT_HF,
       0x0800,
       "1R1S1abc",
       nullptr,
       false,
       "lvoReceiveDataHFEvent",
       120,
       {"", "", "", ""},
       "",
       0,
       {"1", "R1", "S1", "abc"},
       3},
      {"HF time-out",
       WM_PORT_HF,
       0x0100,
       "1R1S1abc",
       nullptr,
       false,
       "lvoReceiveDataHFEvent",
       110,
       {"", "", "", ""},
       "",
       0,
       {"", "", "", ""},
       0},
      {"HF short block",
       WM_PORT_HF,
       0x0001,
       "1R",
       nullptr,
       false,
       "lvoReceiveDataHFEvent",
       0,
       {"", "", "", ""},
       "",
       0,
       {"1", "R", "", ""},
       0},
  };
  for (const HandlerCase& c : cases) {
    SCOPED_TRACE(c.name);
    m_sink->heard.clear();
    LoadCancelFlag();
    NotifyRecord* record = c.nullRecord ? nullptr : Record(c.data, c.data2);
    if (record != nullptr && c.data != nullptr && c.message == WM_PORT_BINARY) {
      record->nDataLen = static_cast<int16_t>(std::strlen(c.data));
    }
    Post(c.message, record, c.bit);
    ASSERT_TRUE(m_sink->WaitFor(1));
    const HeardEvent& e = m_sink->heard[0];
    EXPECT_EQ(e.name, c.event);
    EXPECT_EQ(e.argument, c.argument);
    const ControlProperties& p = e.properties;
    EXPECT_EQ(
        (std::vector<std::string>{p.PollCmdComSts, p.PollCmdErr, p.PollCmdSen, p.PollCmdResData}),
        c.poll);
    EXPECT_EQ(p.ReceiveData, c.receiveData);
    EXPECT_EQ(p.ReceiveDataLen, c.receiveLen);
    EXPECT_EQ((std::vector<std::string>{p.HFReceiveReserve, p.HFReceiveResp, p.HFReceiveStat,
                                        p.HFReceiveData}),
              c.hf);
    EXPECT_EQ(p.HFReceiveDataLen, c.hfLen);
    EXPECT_EQ(p.CancelFlag, FALSE) << "the background operation has ended";
  }
}

TEST_F(ControlEvents, CommEventsAreMaskedByEventMask) {
  // Masked: dropped (and freed). Then unmasked: fired with the masked bit, and only that one.
  LoadCancelFlag();
  Post(engine::WM_PORT_COMM, Record(nullptr), 0x0008);
  platform::PumpMessages(0);
  m_ctrl->SetEventMask(0x0FFF);
  Post(engine::WM_PORT_COMM, Record(nullptr), 0x0008);
  ASSERT_TRUE(m_sink->WaitFor(1));
  ASSERT_EQ(m_sink->heard.size(), 1u);
  EXPECT_EQ(m_sink->heard[0].name, "lvoCommEvent");
  EXPECT_EQ(m_sink->heard[0].argument, 8);
  EXPECT_EQ(m_sink->heard[0].properties.CancelFlag, TRUE) << "a line event leaves it";
}

// Several sinks; one disconnects another and itself from inside the event; records still queued
// when the control goes are freed (the sanitizer builds check that nothing leaks).
TEST_F(ControlEvents, SinksConnectAndDisconnectAtAnyTime) {
  struct Unadvising : EventSink {
    CLinvoCtrl* control = nullptr;
    std::vector<int> cookies;
    int calls = 0;
    void OnEvent(const EventInfo&, int32_t) override {
      ++calls;
      for (int cookie : cookies) control->Unadvise(cookie);
    }
  };
  Unadvising first;
  RecordingSink third;
  first.control = m_ctrl.get();
  const int firstCookie = m_ctrl->Advise(&first);
  const int thirdCookie = m_ctrl->Advise(&third);
  first.cookies = {firstCookie, thirdCookie};
  Post(engine::WM_PORT_BCC, Record("x"), 0x0001);
  ASSERT_TRUE(m_sink->WaitFor(1));
  Post(engine::WM_PORT_BCC, Record("y"), 0x0001);
  ASSERT_TRUE(m_sink->WaitFor(2));
  EXPECT_EQ(first.calls, 1);
  EXPECT_TRUE(third.heard.empty()) << "disconnected before its turn";
  EXPECT_FALSE(m_ctrl->Unadvise(thirdCookie));

  Post(engine::WM_PORT_HF, Record("1R1S1abc", "2R2S2z"), 0x0001);
  Post(engine::WM_PORT_RESPONSE, nullptr, 0x0001);
  m_ctrl.reset();
}

}  // namespace
}  // namespace linvo::control
