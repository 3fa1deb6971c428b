#include "portapi/port_table.h"

#include <sys/resource.h>
#include <unistd.h>

#include <set>
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
  EXPECT_EQ(test::TraceSequence(dir.Path() + "/trace041.log").size(), 1u)
      << "only the version line";
  // Mode 0x10001 is mode 1 in its low 16 bits: the port object answers (not open).
  EXPECT_EQ(ReceiveResponse("lvoReceiveResponse", 41, 0x10001, 100, 0, 0, &s, &s, &s), 101);
}

// While it lives, every new descriptor of the process fails with EMFILE.
class NoDescriptorsLeft {
 public:
  NoDescriptorsLeft() {
    getrlimit(RLIMIT_NOFILE, &m_saved);
    const int lowestFree = dup(0);
    close(lowestFree);
    rlimit limit = m_saved;
    limit.rlim_cur = static_cast<rlim_t>(lowestFree);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  ~NoDescriptorsLeft() { setrlimit(RLIMIT_NOFILE, &m_saved); }

 private:
  rlimit m_saved{};
};

// A port object that cannot be created (no descriptor for its wake-up events) is reported with
// 30, leaves its slot empty and is created by a later call.
TEST(PortTable, CreationFailureAnswers30AndLeavesTheSlotEmpty) {
  ScopedWorkDir dir;
  {
    NoDescriptorsLeft exhausted;
    EXPECT_EQ(ReloadSettings("SetLogFlag", 120), 30);
    EXPECT_EQ(IsClaimed("GetClaimed", 120), 30);
  }
  EXPECT_EQ(PortTable().Find(120), nullptr);
  EXPECT_EQ(ReloadSettings("SetLogFlag", 120), 0);
  EXPECT_NE(PortTable().Find(120), nullptr);
}

// The table describes every entry function with its arguments in order, for bindings generated
// from it.
TEST(EntryTable, DescribesEveryEntryFunction) {
  std::set<std::string_view> names;
  for (const EntryFunction& f : kEntryFunctions) {
    names.insert(f.name);
    ASSERT_GE(f.argumentCount, 2u);
    EXPECT_EQ(f.arguments[0].name, "caller");
    EXPECT_EQ(f.arguments[1].name, "portNo");
  }
  EXPECT_EQ(names.size(), 32u);
  const EntryFunction* rr = nullptr;
  for (const EntryFunction& f : kEntryFunctions) {
    if (f.name == "SendCommandRR") rr = &f;
  }
  ASSERT_NE(rr, nullptr);
  EXPECT_EQ(rr->result, "engine::Result");
  EXPECT_EQ(rr->rule, EntryRule::kForward);
  ASSERT_EQ(rr->argumentCount, 12u);
  EXPECT_EQ(rr->arguments[2].name, "recMode");
  EXPECT_EQ(rr->arguments[6].type, "const char*");
  EXPECT_EQ(rr->arguments[11].type, "std::string*");
  EXPECT_EQ(rr->arguments[11].name, "data");
}

}  // namespace
}  // namespace linvo::portapi
