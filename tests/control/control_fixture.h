// A control whose port is a virtual line served by the device simulator, tracing into the test's
// work directory, and a sink that keeps the events it hears with the properties of that moment.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "control/linvo_ctrl.h"
#include "platform/message.h"
#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "support/test_env.h"

namespace linvo::control {

// One event as a sink heard it, with the control's properties when it fired.
struct HeardEvent {
  std::string name;
  int32_t argument;
  ControlProperties properties;
};

class RecordingSink : public EventSink {
 public:
  explicit RecordingSink(const CLinvoCtrl* control = nullptr) : m_control(control) {}
  void OnEvent(const EventInfo& event, int32_t argument) override {
    heard.push_back(
        {event.name, argument, m_control ? m_control->Properties() : ControlProperties{}});
  }
  // Pumps this thread's messages until `count` events were heard or timeoutMs passed.
  bool WaitFor(std::size_t count, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (heard.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      platform::PumpMessages(static_cast<int>(left));
    }
    return true;
  }

  std::vector<HeardEvent> heard;

 private:
  const CLinvoCtrl* m_control;
};

class ControlOnSim : public ::testing::Test {
 protected:
  static constexpr int kPort = 21;
  static constexpr const char* kPortName = "COM21";

  void SetUp() override {
    m_peer = platform::RegisterVirtualLine(kPortName);
    m_sim = std::make_unique<sim::DeviceSimulator>(sim::MakeVirtualEndpoint(m_peer), sim::Config{});
    ASSERT_TRUE(m_sim->Start());
    m_ctrl = std::make_unique<CLinvoCtrl>();
    CLinvoCtrl& c = *m_ctrl;
    c.SetPortNo(kPort);
    c.SetParity("N");
    c.SetACKTimer(300);
    c.SetResponseTimer(500);
    // The settings-file puts write the temporary-directory Linvo.ini and make the port object
    // re-read it: trace everything into the work directory.
    c.SetLogFileFolder(m_dir.Path() + "/trace%03d.log");
    c.SetLogFlag(1);
    m_sink = std::make_unique<RecordingSink>(m_ctrl.get());
    m_ctrl->Advise(m_sink.get());
  }
  void TearDown() override {
    m_ctrl.reset();
    platform::PumpMessages(0);
    m_sim.reset();
    platform::UnregisterVirtualLine(kPortName);
  }

  void Configure(const sim::Config& config) { m_sim->SetConfig(config); }
  void Open() { ASSERT_EQ(m_ctrl->lvoOpenPort(), 0); }
  const ControlProperties& P() const { return m_ctrl->Properties(); }
  std::string TracePath() const { return m_dir.Path() + "/trace021.log"; }
  // The trace lines ("label|text") this thread wrote since the last call.
  std::vector<std::string> NewTrace() {
    std::vector<std::string> all = test::TraceSequence(TracePath(), test::CurrentThreadId());
    std::vector<std::string> fresh(
        all.begin() + static_cast<std::ptrdiff_t>(std::min(m_traceSeen, all.size())), all.end());
    m_traceSeen = all.size();
    return fresh;
  }

  test::ScopedWorkDir m_dir;
  std::shared_ptr<platform::VirtualPeer> m_peer;
  std::unique_ptr<sim::DeviceSimulator> m_sim;
  std::unique_ptr<CLinvoCtrl> m_ctrl;
  std::unique_ptr<RecordingSink> m_sink;
  std::size_t m_traceSeen = 0;
};

}  // namespace linvo::control
