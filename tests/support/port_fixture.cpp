#include "support/port_fixture.h"

namespace linvo::test {

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
  std::vector<std::string> all = TraceSequence(m_dir.Path() + "/trace003.log");
  std::vector<std::string> fresh;
  for (std::size_t i = std::min(m_traceSeen, all.size()); i < all.size(); ++i) {
    // The comm-event watcher traces line events from its own thread.
    if (all[i].rfind("Info    |Event Notification:", 0) == 0) continue;
    fresh.push_back(all[i]);
  }
  m_traceSeen = all.size();
  return fresh;
}

}  // namespace linvo::test
