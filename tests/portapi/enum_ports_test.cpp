#include "portapi/enum_ports.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "portapi/table_lock.h"

namespace linvo::portapi {
namespace {

namespace fs = std::filesystem;

// A fake /sys/class/tty in a private temporary directory.
class EnumPortsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linvo-enum-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
  }
  void TearDown() override { fs::remove_all(m_root); }

  // A tty entry; with a device link when `serial`, with a "type" attribute when given.
  void AddTty(const std::string& name, bool serial, const char* type = nullptr) {
    fs::create_directories(m_root / name);
    if (serial)
      fs::create_directory_symlink("../../devices/platform/" + name, m_root / name / "device");
    if (type != nullptr) std::ofstream(m_root / name / "type") << type;
  }

  fs::path m_root;
};

TEST_F(EnumPortsTest, ListsSerialDevicesInDirectoryOrder) {
  const std::set<std::string> listed = {"ttyS0", "ttyUSB0",  "ttyUSB1", "ttyACM0", "ttyAMA0",
                                        "ttyS1", "ttyUSB10", "rfcomm0", "ttyXR!2"};
  for (const std::string& name : listed)
    AddTty(name, true, name.starts_with("ttyS") ? "4\n" : nullptr);
  AddTty("tty0", false);  // virtual console
  AddTty("ptmx", false);
  AddTty("ttyS2", true, "0\n");  // 8250 slot with no UART behind it
  AddTty("ttyS3", true, "0\n");

  // The system's order is whatever the directory gives; here, the fake tree's own.
  std::string expected;
  for (const fs::directory_entry& entry : fs::directory_iterator(m_root)) {
    std::string name = entry.path().filename().string();
    if (!listed.contains(name)) continue;
    if (name == "ttyXR!2") name = "ttyXR/2";  // "!" stands for "/" in sysfs names
    expected += (expected.empty() ? "" : ",") + ("/dev/" + name);
  }

  std::string list = "old";
  int16_t count = -1;
  ASSERT_EQ(EnumPorts(m_root.string(), &list, &count), 1);
  EXPECT_EQ(list, expected);
  EXPECT_EQ(count, static_cast<int16_t>(listed.size()));
}

TEST_F(EnumPortsTest, EmptyTreeGivesEmptyText) {
  AddTty("tty0", false);
  std::string list = "old";
  int16_t count = -1;
  ASSERT_EQ(EnumPorts(m_root.string(), &list, &count), 1);
  EXPECT_EQ(list, "");
  EXPECT_EQ(count, 0);
}

TEST_F(EnumPortsTest, UnreadableRootFailsAndKeepsList) {
  std::string list = "old";
  int16_t count = -1;
  EXPECT_EQ(EnumPorts((m_root / "missing").string(), &list, &count), 0);
  EXPECT_EQ(list, "old");
  EXPECT_EQ(count, 0);
}

TEST_F(EnumPortsTest, MissingOutArgumentFails) {
  AddTty("ttyUSB0", true);
  std::string list = "old";
  int16_t count = -1;
  EXPECT_EQ(EnumPorts(m_root.string(), nullptr, &count), 0);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(EnumPorts(m_root.string(), &list, nullptr), 0);
  EXPECT_EQ(list, "old");
}

TEST_F(EnumPortsTest, WaitsForTheTableLock) {
  AddTty("ttyUSB0", true);
  std::string list;
  int16_t count = 0;
  std::unique_lock<std::mutex> held(TableLock());
  auto walk =
      std::async(std::launch::async, [&] { return EnumPorts(m_root.string(), &list, &count); });
  EXPECT_EQ(walk.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  held.unlock();
  EXPECT_EQ(walk.get(), 1);
  EXPECT_EQ(list, "/dev/ttyUSB0");
  // Released again on return.
  EXPECT_TRUE(TableLock().try_lock());
  TableLock().unlock();
}

TEST(EnumPorts, SystemListIsDevicePaths) {
  std::string list = "old";
  int16_t count = -1;
  ASSERT_EQ(EnumPorts(&list, &count), 1);
  int16_t items = 0;
  for (size_t start = 0; !list.empty() && start <= list.size(); ++items) {
    const size_t end = std::min(list.find(',', start), list.size());
    EXPECT_TRUE(list.substr(start, end - start).starts_with("/dev/")) << list;
    start = end + 1;
  }
  EXPECT_EQ(items, count) << list;
}

}  // namespace
}  // namespace linvo::portapi
