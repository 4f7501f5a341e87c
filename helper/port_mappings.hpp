// Which ports of a server are forwarded through its loopback address.
#pragma once

#include <cstdint>
#include <vector>

#include "tavi/config.hpp"

namespace tavi {

// Listen port that forwards to a server's web port; a web port equal to it
// needs no forwarding.
inline constexpr std::uint16_t WEB_LISTEN_PORT = 80;

struct PortMapping {
  std::uint16_t listen = 0;  // on the server's loopback address
  std::uint16_t target = 0;  // on the address that answered
  friend bool operator==(const PortMapping&, const PortMapping&) = default;
};

// Empty unless the server has a web port other than 0 and 80. Then 80 to the
// web port, followed by the web port, `port` and each extra port to
// themselves, skipping zeros and listen ports already in the list.
std::vector<PortMapping> port_mappings(const Server& server);

}  // namespace tavi
