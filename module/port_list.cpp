#include "module/port_list.h"

#include <utility>

lvo_port_list::lvo_port_list(linvo::portapi::PortListing from) : listing(std::move(from)) {
  ports.reserve(listing.ports.size());
  for (const linvo::portapi::ListedPort& port : listing.ports) {
    ports.push_back(lvo_port_info{port.name.c_str(), port.device.c_str()});
  }
  adapters.reserve(listing.adapters.size());
  for (const linvo::platform::UnmappedDevice& adapter : listing.adapters) {
    const linvo::platform::SerialDevice& d = adapter.device;
    adapters.push_back(lvo_adapter_info{(d.stablePath.empty() ? d.path : d.stablePath).c_str(),
                                        d.path.c_str(), d.vendorId.c_str(), d.productId.c_str(),
                                        d.product.c_str(), adapter.portsLine.c_str()});
  }
}
