#include "pool.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <limits>
#include <optional>
#include <string>

namespace tavi {
namespace {

constexpr std::size_t HUGE_K = std::numeric_limits<std::size_t>::max();

struct PoolCase {
  std::optional<std::string> variable;  // nothing: unset
  std::size_t k;
  std::optional<std::string> expected;  // nothing: no address
};

class LoopbackPool : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("TAVI_LOOPBACK"); }
  static void set_variable(const std::optional<std::string>& value) {
    if (value) {
      ::setenv("TAVI_LOOPBACK", value->c_str(), 1);
    } else {
      ::unsetenv("TAVI_LOOPBACK");
    }
  }
  static std::optional<std::string> address_text(std::size_t k) {
    auto address = loopback_address(k);
    if (!address) return std::nullopt;
    return format_ip_address(*address);
  }
};

TEST_F(LoopbackPool, AddressesFromTheBase) {
  const PoolCase cases[] = {
      {std::nullopt, 0, "127.77.0.2"},
      {std::nullopt, 1, "127.77.0.3"},
      {std::nullopt, 252, "127.77.0.254"},
      {std::nullopt, 253, std::nullopt},
      {std::nullopt, HUGE_K, std::nullopt},
      {std::nullopt, HUGE_K - 1, std::nullopt},
      {"127.88.0.250", 0, "127.88.0.250"},
      {"127.88.0.250", 4, "127.88.0.254"},
      {"127.88.0.250", 5, std::nullopt},
      {"127.77.0.255", 0, std::nullopt},
      {"127.77.0.255", 1, std::nullopt},
      {"10.0.0.5", 0, "10.0.0.5"},
      {"10.0.0.5", 249, "10.0.0.254"},
      {"10.0.0.5", 250, std::nullopt},
      {"0.0.0.0", 254, "0.0.0.254"},
      {"255.255.255.254", 0, "255.255.255.254"},
      // Values that are not a plain dotted IPv4 address fall back to the default base.
      {"", 0, "127.77.0.2"},
      {" 127.88.0.1", 0, "127.77.0.2"},
      {"127.88.0.1 ", 0, "127.77.0.2"},
      {"127.88.0.077", 0, "127.77.0.2"},
      {"127.88.0", 0, "127.77.0.2"},
      {"127.88.0.1.", 0, "127.77.0.2"},
      {"127.88.0.256", 0, "127.77.0.2"},
      {"::1", 0, "127.77.0.2"},
      {"::ffff:127.88.0.1", 0, "127.77.0.2"},
      {"127.88.0.1:80", 0, "127.77.0.2"},
      {"0127.88.0.1", 0, "127.77.0.2"},        // 11 bytes, leading zero
      {"127.088.000.001", 0, "127.77.0.2"},    // 15 bytes, leading zeros
      {"127.088.0000.0001", 0, "127.77.0.2"},  // longer than 15 bytes
      {"127.88.0.1\xff", 0, "127.77.0.2"},     // not UTF-8
      {"127.88.0.1\xc3\xa9", 0, "127.77.0.2"},
  };
  for (const PoolCase& c : cases) {
    set_variable(c.variable);
    EXPECT_EQ(address_text(c.k), c.expected)
        << "TAVI_LOOPBACK=" << c.variable.value_or("(unset)") << " k=" << c.k;
  }
}

TEST_F(LoopbackPool, EveryCallReadsTheEnvironmentAgain) {
  set_variable("127.88.0.10");
  EXPECT_EQ(address_text(1), "127.88.0.11");
  set_variable("127.99.1.20");
  EXPECT_EQ(address_text(1), "127.99.1.21");
  set_variable(std::nullopt);
  EXPECT_EQ(address_text(1), "127.77.0.3");
}

TEST_F(LoopbackPool, PoolAddressesInEverySpellingThatReachesTheirListeners) {
  struct Case {
    std::optional<std::string> variable;
    std::string address;
    bool in_pool;
  };
  const Case cases[] = {
      {std::nullopt, "127.77.0.2", true},
      {std::nullopt, "127.77.0.254", true},
      {std::nullopt, "::ffff:127.77.0.2", true},  // same listener on a dual-stack socket
      {std::nullopt, "::ffff:127.77.0.254", true},
      {std::nullopt, "127.77.0.1", false},
      {std::nullopt, "127.77.0.255", false},
      {std::nullopt, "127.77.1.2", false},
      {std::nullopt, "127.0.0.1", false},
      {std::nullopt, "::127.77.0.2", false},         // IPv4-compatible: another address
      {std::nullopt, "::ffff:0:127.77.0.2", false},  // IPv4-translated: likewise
      {std::nullopt, "64:ff9b::127.77.0.2", false},
      {std::nullopt, "::1", false},
      {"127.88.0.250", "127.88.0.250", true},
      {"127.88.0.250", "127.88.0.254", true},
      {"127.88.0.250", "127.88.0.249", false},
      {"127.88.0.250", "127.77.0.2", false},
      {"127.77.0.255", "127.77.0.255", false},  // an empty pool
      {"10.0.0.5", "10.0.0.200", true},
      {"10.0.0.5", "::ffff:10.0.0.5", true},
      {"10.0.0.5", "11.0.0.5", false},
      {"not an address", "127.77.0.3", true},
  };
  for (const Case& c : cases) {
    set_variable(c.variable);
    EXPECT_EQ(is_pool_address(loopback_pool(), *parse_ip_address(c.address)), c.in_pool)
        << "TAVI_LOOPBACK=" << c.variable.value_or("(unset)") << " " << c.address;
  }
}

}  // namespace
}  // namespace tavi
