// The machine's interface addresses as the system lists them.
#pragma once

#include <string>
#include <vector>

#include "tavi/ip.hpp"
#include "tavi/os_error.hpp"

namespace tavi {

struct InterfaceAddress {
  std::string name;  // the system's bytes, not checked as UTF-8
  IpAddress address;
  friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

}  // namespace tavi

namespace tavi::platform {

// Every entry of getifaddrs that carries an IPv4 or IPv6 address, in the
// system's order; entries without an address or of another family (link-layer
// ones) are skipped.
OsResult<std::vector<InterfaceAddress>> list_interfaces();

}  // namespace tavi::platform
