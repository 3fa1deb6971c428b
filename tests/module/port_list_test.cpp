// The port listing of the C interface: the records a listing gives, and lvo_list_ports with its
// getters on the ports of this process.
#include "module/port_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "c_api_fixture.h"

namespace linvo::module {
namespace {

using ::testing::HasSubstr;

TEST(PortList, RecordsCarryEveryTextOfTheListing) {
  portapi::PortListing listing;
  listing.ports = {{"COM1", "/dev/ttyS0"}, {"COM7", "virtual:COM7"}};
  listing.adapters = {
      {{"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_A-if00", "0403", "6001", "FT232R"},
       "COM2=/dev/serial/by-id/usb-FTDI_A-if00"},
      {{"/dev/ttyACM0", "", "", "", ""}, "COM3=/dev/ttyACM0"},  // no stable name: its device
  };
  const lvo_port_list list(std::move(listing));

  ASSERT_EQ(list.ports.size(), 2u);
  EXPECT_STREQ(list.ports[1].name, "COM7");
  EXPECT_STREQ(list.ports[1].device, "virtual:COM7");
  ASSERT_EQ(list.adapters.size(), 2u);
  const lvo_adapter_info& usb = list.adapters[0];
  const std::vector<std::string> texts = {usb.name,       usb.device,  usb.vendor_id,
                                          usb.product_id, usb.product, usb.ports_line};
  EXPECT_EQ(texts, (std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_A-if00", "/dev/ttyUSB0",
                                             "0403", "6001", "FT232R",
                                             "COM2=/dev/serial/by-id/usb-FTDI_A-if00"}));
  EXPECT_STREQ(list.adapters[1].name, "/dev/ttyACM0");
  EXPECT_STREQ(list.adapters[1].vendor_id, "");
}

// Two virtual lines of this process are among the ports, each with its device, in number order.
TEST_F(CApiTest, ListPortsGivesTheComNamesWithTheirDevices) {
  const auto first = platform::RegisterVirtualLine("COM241");
  const auto second = platform::RegisterVirtualLine("COM240");
  lvo_port_list* list = nullptr;
  ASSERT_EQ(lvo_list_ports(&list), LVO_OK) << lvo_last_error_text();
  platform::UnregisterVirtualLine("COM241");
  platform::UnregisterVirtualLine("COM240");

  int32_t count = -1;
  ASSERT_EQ(lvo_port_count(list, &count), LVO_OK);
  std::vector<std::pair<std::string, std::string>> ours;
  for (int32_t i = 0; i < count; ++i) {
    lvo_port_info info{};
    ASSERT_EQ(lvo_port(list, i, &info), LVO_OK) << lvo_last_error_text();
    if (std::string(info.name).starts_with("COM24")) ours.emplace_back(info.name, info.device);
  }
  EXPECT_EQ(ours, (std::vector<std::pair<std::string, std::string>>{
                      {"COM240", "virtual:COM240"}, {"COM241", "virtual:COM241"}}));
  int32_t adapters = -1;
  EXPECT_EQ(lvo_adapter_count(list, &adapters), LVO_OK);
  EXPECT_GE(adapters, 0);

  // Indexes outside the list and missing arguments are refused with their reason.
  lvo_port_info port{};
  lvo_adapter_info adapter{};
  EXPECT_EQ(lvo_port(list, count, &port), LVO_E_INVALIDARG);
  EXPECT_THAT(lvo_last_error_text(), HasSubstr("port index " + std::to_string(count) +
                                               " is outside 0.." + std::to_string(count)));
  EXPECT_EQ(lvo_port(list, -1, &port), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_adapter(list, adapters, &adapter), LVO_E_INVALIDARG);
  EXPECT_THAT(lvo_last_error_text(), HasSubstr("adapter index"));
  EXPECT_EQ(lvo_port(list, 0, nullptr), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_port_count(nullptr, &count), LVO_E_INVALIDARG);
  EXPECT_STREQ(lvo_last_error_text(), "list is NULL");
  EXPECT_EQ(lvo_adapter_count(list, nullptr), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_list_ports(nullptr), LVO_E_INVALIDARG);
  lvo_port_list_free(list);
  lvo_port_list_free(nullptr);
}

}  // namespace
}  // namespace linvo::module
