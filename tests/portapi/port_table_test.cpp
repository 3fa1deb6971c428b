#include "portapi/port_table.h"

#include <thread>

#include "platform/serial.h"
#include "support/test_env.h"

namespace linvo::portapi {
namespace {

using test::ScopedWorkDir;
using test::WriteFile;

TEST(PortTable, BadPortNumbersCreateNothingAndTraceNothing) {
  ScopedWorkDir dir;
  WriteFile("Linvo.ini", test::LoggingIni(dir.Path()));
  for (int32_t portNo : {0, -1, 257, 65536, -32768}) {
    SCOPED_TRACE(portNo);
    EXPECT_EQ(OpenPort("lvoOpenPort", portNo, 9600, "8", "N", 64, 64, 0), 100);
    EXPECT_EQ(ClosePort("lvoClosePort", portNo), 100);
    EXPECT_EQ(ReloadSettings("SetLogFlag", portNo), 100);
    EXPECT_EQ(PortTable().Find(portNo), nullptr);
  }
  EXPECT_EQ(test::ReadFile(dir.Path() + "/trace000.log"), "");
  EXPECT_EQ(test::ReadFile(dir.Path() + "/trace257.log"), "");
}

TEST(PortTable, ValidNumbersAreServedByOneObjectEach) {
  ScopedWorkDir dir;
  WriteFile("Linvo.ini", test::LoggingIni(dir.Path()));
  // A closed port answers 30 from its object: the call got through.
  EXPECT_EQ(ClosePort("lvoClosePort", 1), 30);
  EXPECT_EQ(ClosePort("lvoClosePort", 256), 30);
  engine::CCommPort* one = PortTable().Find(1);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->PortNo(), 1);
  ASSERT_NE(PortTable().Find(256), nullptr);
  // Only the low 16 bits count: 65537 names port 1.
  EXPECT_EQ(ClosePort("lvoClosePort", 65537), 30);
  EXPECT_EQ(PortTable().Find(65537), one);
  EXPECT_EQ(test::TraceSequence(dir.Path() + "/trace001.log").size(), 1u + 2 * 5);
}

TEST(PortTable, ConcurrentFirstUseCreatesOneObject) {
  ScopedWorkDir dir;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] { EXPECT_EQ(ReloadSettings("SetLogFlag", 77), 0); });
  }
  for (auto& t : threads) t.join();
  EXPECT_NE(PortTable().Find(77), nullptr);
}

TEST(PortTable, OpenAndCloseThroughTheEntryFunctions) {
  ScopedWorkDir dir;
  auto peer = platform::RegisterVirtualLine("COM40");
  ASSERT_EQ(OpenPort("lvoOpenPort", 40, 19200, "8", "O", 128, 128, 0), 0);
  EXPECT_TRUE(peer->HostOpen());
  EXPECT_EQ(OpenPort("lvoOpenPort", 40, 19200, "8", "O", 128, 128, 0), 30);
  EXPECT_EQ(ClosePort("lvoClosePort", 40), 0);
  EXPECT_FALSE(peer->HostOpen());
  platform::UnregisterVirtualLine("COM40");
}

TEST(PortTable, ResponseModeIsCheckedAfterTheObjectExists) {
  ScopedWorkDir dir;
  WriteFile("Linvo.ini", test::LoggingIni(dir.Path()));
  std::string s;
  for (int32_t mode : {2, -1, 0x10002}) {
    EXPECT_EQ(ReceiveResponse("lvoReceiveResponse", 41, mode, 100, 0, 0, &s, &s, &s), 100);
  }
  EXPECT_NE(PortTable().Find(41), nullptr);
  EXPECT_EQ(test::TraceSequence(dir.Path() + "/trace041.log").size(), 1u) << "only the version line";
  // Mode 0x10001 is mode 1 in its low 16 bits: the port object answers (not open).
  EXPECT_EQ(ReceiveResponse("lvoReceiveResponse", 41, 0x10001, 100, 0, 0, &s, &s, &s), 101);
}

}  // namespace
}  // namespace linvo::portapi
