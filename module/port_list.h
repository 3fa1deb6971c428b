// The port list of the C interface (lvo_list_ports): a listing of the port API and the C records
// of linvo/linvo.h that point into it.
#pragma once

#include <vector>

#include "linvo/linvo.h"
#include "portapi/enum_ports.h"

struct lvo_port_list {
  explicit lvo_port_list(linvo::portapi::PortListing listing);
  lvo_port_list(const lvo_port_list&) = delete;
  lvo_port_list& operator=(const lvo_port_list&) = delete;

  const linvo::portapi::PortListing listing;  // holds the texts; never changes
  std::vector<lvo_port_info> ports;
  std::vector<lvo_adapter_info> adapters;
};
