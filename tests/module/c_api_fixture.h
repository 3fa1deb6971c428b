// Helpers of the C interface tests: values, an owned object, a fixture with a private work
// directory (the control writes its settings file there), and one whose virtual line is served
// by the device simulator.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "linvo/linvo.h"
#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"
#include "support/test_env.h"

namespace linvo::module {

inline lvo_value LongValue(int64_t number) { return {LVO_LONG, 0, number, nullptr}; }
inline lvo_value BoolValue(bool value) { return {LVO_BOOL, 0, value ? -1 : 0, nullptr}; }
// The value points into `text`, which must outlive it.
inline lvo_value TextValue(std::string_view text) {
  return {LVO_TEXT, static_cast<uint32_t>(text.size()), 0, const_cast<char*>(text.data())};
}

// A result value, released when it goes out of scope.
struct Result {
  lvo_value value{};
  ~Result() { lvo_string_free(value.text); }
  std::string Text() const { return value.text ? std::string(value.text, value.length) : ""; }
};

class CApiTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_object != nullptr) {
      EXPECT_EQ(lvo_release(m_object), LVO_OK) << lvo_last_error_text();
    }
  }
  lvo_object* Create(const char* name = "LINVO.LinvoCtrl.1") {
    EXPECT_EQ(lvo_create(name, &m_object), LVO_OK) << lvo_last_error_text();
    return m_object;
  }
  int32_t Dispid(const char* name) {
    int32_t dispid = 0;
    EXPECT_EQ(lvo_get_dispid(m_object, name, &dispid), LVO_OK) << lvo_last_error_text();
    return dispid;
  }
  void Put(const char* name, lvo_value value) {
    EXPECT_EQ(lvo_put(m_object, Dispid(name), &value), LVO_OK) << lvo_last_error_text();
  }

  test::ScopedWorkDir m_dir;
  lvo_object* m_object = nullptr;
};

// COM203 is a virtual line served by the simulator: it acknowledges commands and answers the
// response poll with "RESULT".
class CApiOnSim : public CApiTest {
 public:
  static constexpr int kPort = 203;
  static constexpr const char* kPortName = "COM203";

 protected:
  void SetUp() override {
    m_peer = platform::RegisterVirtualLine(kPortName);
    sim::Config config;
    config.data = "RESULT";
    m_sim = std::make_unique<sim::DeviceSimulator>(sim::MakeVirtualEndpoint(m_peer), config);
    ASSERT_TRUE(m_sim->Start());
  }
  void TearDown() override {
    CApiTest::TearDown();
    m_object = nullptr;
    lvo_pump(0, nullptr);
    m_sim.reset();
    platform::UnregisterVirtualLine(kPortName);
  }

  std::shared_ptr<platform::VirtualPeer> m_peer;
  std::unique_ptr<sim::DeviceSimulator> m_sim;
};

}  // namespace linvo::module
