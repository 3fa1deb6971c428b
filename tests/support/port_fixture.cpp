#include "support/port_fixture.h"

namespace linvo::test {

std::vector<std::string> Bracket(const std::string& caller, std::vector<std::string> middle,
                                 const std::string& exitLabel) {
  std::vector<std::string> lines{"Enter   |" + caller, "CSLock  |" + caller};
  lines.insert(lines.end(), middle.begin(), middle.end());
  lines.push_back("CSUnlock|" + caller);
  lines.push_back(exitLabel + "|" + caller);
  return lines;
}

void VirtualPortTest::SetUp() {
  WriteFile("Linvo.ini", LoggingIni(m_dir.Path()));
  m_peer = platform::RegisterVirtualLine("COM3");
  m_port = std::make_unique<engine::CCommPort>(kPortNo);
  ASSERT_EQ(m_port->OpenPort("lvoOpenPort", 9600, "8", "N", 8192, 8192, 0), 0);
  NewTrace();
}

void VirtualPortTest::TearDown() {
  if (m_port->IsOpen()) m_port->ClosePort("lvoClosePort");
  m_port.reset();
  platform::UnregisterVirtualLine("COM3");
}

std::string VirtualPortTest::TraceText() { return ReadFile(m_dir.Path() + "/trace003.log"); }

std::vector<std::string> VirtualPortTest::NewTrace() {
  // Only this thread's lines: the watcher and the workers trace from their own threads.
  std::vector<std::string> all = TraceSequence(m_dir.Path() + "/trace003.log", CurrentThreadId());
  std::vector<std::string> fresh(
      all.begin() + static_cast<std::ptrdiff_t>(std::min(m_traceSeen, all.size())), all.end());
  m_traceSeen = all.size();
  return fresh;
}

}  // namespace linvo::test
