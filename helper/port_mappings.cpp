#include "port_mappings.hpp"

#include <algorithm>

namespace tavi {

std::vector<PortMapping> port_mappings(const Server& server) {
  std::vector<PortMapping> mappings;
  if (!server.web_port || *server.web_port == 0 || *server.web_port == WEB_LISTEN_PORT) {
    return mappings;
  }
  mappings.push_back({WEB_LISTEN_PORT, *server.web_port});
  auto add_same_port = [&](std::uint16_t port) {
    const bool taken = std::any_of(mappings.begin(), mappings.end(),
                                   [&](const PortMapping& m) { return m.listen == port; });
    if (port != 0 && !taken) mappings.push_back({port, port});
  };
  add_same_port(*server.web_port);
  add_same_port(server.port);
  for (std::uint16_t port : server.extra_ports) add_same_port(port);
  return mappings;
}

}  // namespace tavi
