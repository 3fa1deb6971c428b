#include "portapi/enum_ports.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "platform/serial.h"
#include "portapi/table_lock.h"

namespace linvo::portapi {
namespace {

namespace fs = std::filesystem;

// A fake machine in a private temporary directory: sysfs tty class, /dev, /dev/serial/by-id
// and a settings file.
class EnumPortsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "linvo-enum-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    m_roots = {(m_root / "class/tty").string(), (m_root / "dev").string(),
               (m_root / "dev/serial/by-id").string()};
    fs::create_directories(m_roots.ttyClass);
    fs::create_directories(m_roots.byId);
    m_ini = (m_root / "Linvo.ini").string();
  }
  void TearDown() override { fs::remove_all(m_root); }

  // A tty with a device node; serial ones have a device link (on USB when usbIds is given, with
  // a by-id name when stableName is given) and, for UART slots, a "type" attribute.
  void AddTty(const std::string& name, bool serial, const char* type = nullptr,
              const char* usbIds = nullptr, const char* stableName = nullptr) {
    const fs::path tty = fs::path(m_roots.ttyClass) / name;
    fs::create_directories(tty);
    std::ofstream(fs::path(m_roots.devices) / name);
    if (type != nullptr) std::ofstream(tty / "type") << type << "\n";
    if (!serial) return;
    fs::path device = m_root / "devices/platform" / name;
    if (usbIds != nullptr) {
      const fs::path usb = m_root / "devices/usb1" / name;
      device = usb / "1-1:1.0";
      fs::create_directories(device);
      std::ofstream(usb / "idVendor") << std::string(usbIds, 4) << "\n";
      std::ofstream(usb / "idProduct") << std::string(usbIds + 5, 4) << "\n";
      std::ofstream(usb / "product") << "Adapter " << name << "\n";
    }
    fs::create_directories(device);
    fs::create_directory_symlink(device, tty / "device");
    if (stableName != nullptr) {
      fs::create_symlink("../../" + name, fs::path(m_roots.byId) / stableName);
    }
  }
  std::string Dev(const std::string& name) const { return m_roots.devices + "/" + name; }
  std::string ById(const std::string& name) const { return m_roots.byId + "/" + name; }

  fs::path m_root;
  platform::DeviceRoots m_roots;
  std::string m_ini;
};

TEST_F(EnumPortsTest, ListsTheComNamesThatResolveInNumberOrder) {
  AddTty("ttyS0", true, "4");  // COM1
  AddTty("ttyS1", true, "0");  // no UART behind the slot
  AddTty("ttyS2", true, "4");  // COM3
  AddTty("ttyS3", true, "4");  // COM4, but [Ports] sends COM4 to a missing device
  AddTty("ttyUSB0", true, nullptr, "0403:6001", "usb-FTDI_A-if00");
  AddTty("tty0", false);  // virtual console
  std::ofstream(m_ini) << "[Ports]\nLowLatency=0\nCOM4=" << Dev("gone")
                       << "\nCOM10=" << ById("usb-FTDI_A-if00") << "\ncom12=" << Dev("ttyUSB9")
                       // Network servers are listed without being asked; a bad address is not.
                       << "\nCOM9=rfc2217://127.0.0.1:1?timeout=0.1\nCOM11=socket://[::1]:7"
                       << "\nCOM13=rfc2217://nohost\n";
  auto peer = platform::RegisterVirtualLine("COM7");

  std::string list = "old";
  int16_t count = -1;
  ASSERT_EQ(EnumPorts(m_roots, m_ini, &list, &count), 1);
  EXPECT_EQ(list, "COM1,COM3,COM7,COM9,COM10,COM11");
  EXPECT_EQ(count, 6);
  platform::UnregisterVirtualLine("COM7");
}

TEST_F(EnumPortsTest, UnmappedAdaptersGetTheirStableNameAndAFreeNumber) {
  AddTty("ttyS0", true, "4");  // COM1
  AddTty("ttyS1", true, "0");
  AddTty("ttyS2", true, "4");  // COM3
  AddTty("ttyUSB0", true, nullptr, "0403:6001", "usb-FTDI_A-if00");
  AddTty("ttyUSB1", true, nullptr, "067b:2303", "usb-Prolific_B-port0");
  AddTty("ttyACM0", true);
  std::ofstream(m_ini) << "[Ports]\nCOM4=" << Dev("gone") << "\nCOM10=" << Dev("ttyUSB0") << "\n";

  const std::vector<platform::UnmappedDevice> unmapped =
      platform::ListUnmappedDevices(m_ini, m_roots);
  ASSERT_EQ(unmapped.size(), 2u);
  // Directory order is the system's; sort for the comparison.
  const auto& usb = unmapped[0].device.path == Dev("ttyUSB1") ? unmapped[0] : unmapped[1];
  const auto& acm = &usb == &unmapped[0] ? unmapped[1] : unmapped[0];
  EXPECT_EQ(usb.device.stablePath, ById("usb-Prolific_B-port0"));
  EXPECT_EQ(usb.device.vendorId, "067b");
  EXPECT_EQ(usb.device.productId, "2303");
  EXPECT_EQ(usb.device.product, "Adapter ttyUSB1");
  EXPECT_EQ(acm.device.path, Dev("ttyACM0"));
  EXPECT_EQ(acm.device.stablePath, "");
  EXPECT_EQ(acm.device.vendorId, "");
  // The free numbers, lowest first: 2 (empty slot) and 5 (4 is taken by [Ports]).
  const std::string first = "COM2=", second = "COM5=";
  const bool usbFirst = unmapped[0].device.path == Dev("ttyUSB1");
  EXPECT_EQ(usb.portsLine, (usbFirst ? first : second) + ById("usb-Prolific_B-port0"));
  EXPECT_EQ(acm.portsLine, (usbFirst ? second : first) + Dev("ttyACM0"));
}

// ListPorts: EnumPorts' names, each with the device an open would reach, and the adapters.
TEST_F(EnumPortsTest, ListingGivesEachNameItsDeviceAndTheUnmappedAdapters) {
  AddTty("ttyS0", true, "4");  // COM1, by convention /dev/ttyS0 of the system
  AddTty("ttyUSB0", true, nullptr, "0403:6001", "usb-FTDI_A-if00");
  AddTty("ttyUSB1", true, nullptr, "067b:2303", "usb-Prolific_B-port0");
  std::ofstream(m_ini) << "[Ports]\nCOM10=" << ById("usb-FTDI_A-if00") << "\n";
  auto peer = platform::RegisterVirtualLine("COM7");
  const PortListing listing = ListPorts(m_roots, m_ini);
  platform::UnregisterVirtualLine("COM7");

  std::vector<std::pair<std::string, std::string>> ports;
  for (const ListedPort& port : listing.ports) ports.emplace_back(port.name, port.device);
  EXPECT_EQ(ports, (std::vector<std::pair<std::string, std::string>>{
                       {"COM1", "/dev/ttyS0"},
                       {"COM7", "virtual:COM7"},
                       {"COM10", ById("usb-FTDI_A-if00")}}));
  ASSERT_EQ(listing.adapters.size(), 1u);
  EXPECT_EQ(listing.adapters[0].device.path, Dev("ttyUSB1"));
  EXPECT_EQ(listing.adapters[0].portsLine, "COM2=" + ById("usb-Prolific_B-port0"));
}

TEST_F(EnumPortsTest, EmptyMachineGivesEmptyText) {
  AddTty("tty0", false);
  std::string list = "old";
  int16_t count = -1;
  ASSERT_EQ(EnumPorts(m_roots, m_ini, &list, &count), 1);
  EXPECT_EQ(list, "");
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(platform::ListUnmappedDevices(m_ini, m_roots).empty());
}

TEST_F(EnumPortsTest, MissingOutArgumentFails) {
  AddTty("ttyS0", true, "4");
  std::string list = "old";
  int16_t count = -1;
  EXPECT_EQ(EnumPorts(m_roots, m_ini, nullptr, &count), 0);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(EnumPorts(m_roots, m_ini, &list, nullptr), 0);
  EXPECT_EQ(list, "old");
}

TEST_F(EnumPortsTest, WaitsForTheTableLock) {
  AddTty("ttyS0", true, "4");
  std::string list;
  int16_t count = 0;
  std::unique_lock<std::mutex> held(TableLock());
  auto walk =
      std::async(std::launch::async, [&] { return EnumPorts(m_roots, m_ini, &list, &count); });
  EXPECT_EQ(walk.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  held.unlock();
  EXPECT_EQ(walk.get(), 1);
  EXPECT_EQ(list, "COM1");
  // Released again on return.
  EXPECT_TRUE(TableLock().try_lock());
  TableLock().unlock();
}

TEST(EnumPorts, SystemListIsComNames) {
  std::string list = "old";
  int16_t count = -1;
  ASSERT_EQ(EnumPorts(&list, &count), 1);
  int16_t items = 0;
  for (size_t start = 0; !list.empty() && start <= list.size(); ++items) {
    const size_t end = std::min(list.find(',', start), list.size());
    EXPECT_TRUE(list.substr(start, end - start).starts_with("COM")) << list;
    start = end + 1;
  }
  EXPECT_EQ(items, count) << list;
}

}  // namespace
}  // namespace linvo::portapi
