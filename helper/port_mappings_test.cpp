#include "port_mappings.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

TEST(PortMappings, Table) {
  struct Case {
    std::optional<std::uint16_t> web_port;
    std::uint16_t port;
    std::vector<std::uint16_t> extra_ports;
    std::vector<PortMapping> mappings;
  };
  const std::vector<Case> cases = {
      {std::nullopt, 22, {443}, {}},
      {80, 22, {443}, {}},
      {0, 22, {443}, {}},
      {8080, 22, {}, {{80, 8080}, {8080, 8080}, {22, 22}}},
      {8080, 8080, {}, {{80, 8080}, {8080, 8080}}},
      {8080, 80, {}, {{80, 8080}, {8080, 8080}}},
      {5000,
       22,
       {443, 443, 80, 22, 5000, 445},
       {{80, 5000}, {5000, 5000}, {22, 22}, {443, 443}, {445, 445}}},
      // zeros are skipped wherever they stand
      {5000, 0, {0, 8443}, {{80, 5000}, {5000, 5000}, {8443, 8443}}},
  };
  for (const Case& c : cases) {
    Server server{.name = "nas",
                  .home_ip = "127.0.0.1",
                  .port = c.port,
                  .web_port = c.web_port,
                  .extra_ports = c.extra_ports};
    SCOPED_TRACE(c.web_port ? std::to_string(*c.web_port) : "absent");
    EXPECT_EQ(port_mappings(server), c.mappings);
  }
}

}  // namespace
}  // namespace tavi
