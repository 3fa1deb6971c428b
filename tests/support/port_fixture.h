// A port object opened on a virtual line, tracing into a private work directory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/comm_port.h"
#include "platform/serial.h"
#include "support/test_env.h"
#include "support/virtual_device.h"

namespace linvo::test {

// The trace lines of an operation bracket: "Enter   ", "CSLock  ", the middle lines, "CSUnlock"
// and the exit label, each "label|text".
std::vector<std::string> Bracket(const std::string& caller, std::vector<std::string> middle,
                                 const std::string& exitLabel = "Exit    ");

class VirtualPortTest : public ::testing::Test {
 protected:
  static constexpr int kPortNo = 3;

  void SetUp() override;
  void TearDown() override;

  // The trace lines ("label|text") this thread wrote since the last call (the watcher and the
  // workers write from threads of their own).
  std::vector<std::string> NewTrace();
  // The trace file's whole text.
  std::string TraceText();

  ScopedWorkDir m_dir;
  std::shared_ptr<platform::VirtualPeer> m_peer;
  std::unique_ptr<engine::CCommPort> m_port;
  std::size_t m_traceSeen = 0;
};

}  // namespace linvo::test
