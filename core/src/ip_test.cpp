#include "tavi/ip.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

TEST(IpParse, AcceptsOnlyStrictAddressTexts) {
  struct Case {
    std::string text;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"192.168.1.10", true},   {"0.0.0.0", true},        {"255.255.255.255", true},
      {"192.168.1.300", false}, {"010.0.0.1", false},     {"1.2.3", false},
      {"1.2.3.4.5", false},     {"1.2.3.4 ", false},      {" 1.2.3.4", false},
      {"192.168.1.10:22", false}, {"::1", true},          {"::", true},
      {"1::", true},            {"1:2:3:4:5:6:7:8", true}, {"1:2:3:4:5:6:7::", true},
      {"::ffff:192.168.1.10", true}, {"1:2:3:4:5:6:1.2.3.4", true}, {"fe80::1%en0", false},
      {"[::1]", false},         {"::1/128", false},       {"1:2:3:4:5:6:7:8:9", false},
      {"1::2::3", false},       {"12345::", false},       {"0001:0002::", true},
      {"::1.2.3.04", false},    {"1.2.3.4::", false},     {"", false},
      {"10.8.0.x", false},      {":1", false},            {"1:", false},
      {"1:2:3:4:5:6:7:1.2.3.4", false}, {"FE80::A", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_ip_address(c.text).has_value(), c.ok);
  }
}

TEST(IpFormat, WritesRfc5952Forms) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"192.168.1.10", "192.168.1.10"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"::", "::"},
      {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"0001:0002::", "1:2::"},
      {"::ffff:192.168.1.10", "::ffff:192.168.1.10"},
      {"::ffff:c0a8:010a", "::ffff:192.168.1.10"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"::1.2.3.4", "::102:304"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    auto ip = parse_ip_address(in);
    ASSERT_TRUE(ip);
    EXPECT_EQ(format_ip_address(*ip), out);
  }
}

TEST(SocketAddressText, ParsesAndFormats) {
  auto v4 = parse_socket_address("127.0.0.2:05000");
  ASSERT_TRUE(v4);
  EXPECT_EQ(format_socket_address(*v4), "127.0.0.2:5000");
  auto v6 = parse_socket_address("[::1%3]:80");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->scope_id, 3u);
  EXPECT_EQ(format_socket_address(SocketAddress{*parse_ip_address("::1"), 80}), "[::1]:80");
  for (std::string bad : {"localhost:5000", "127.0.0.1", " 127.0.0.1:1", "127.0.0.1:65536",
                          "::1:80", "[::1]", "127.0.0.1:1 "}) {
    EXPECT_FALSE(parse_socket_address(bad)) << bad;
  }
}

TEST(Loopback, CoversAll127AndExactlyV6One) {
  EXPECT_TRUE(is_loopback(*parse_ip_address("127.77.0.2")));
  EXPECT_TRUE(is_loopback(*parse_ip_address("::1")));
  EXPECT_FALSE(is_loopback(*parse_ip_address("::ffff:127.0.0.1")));
  EXPECT_FALSE(is_loopback(*parse_ip_address("128.0.0.1")));
}

}  // namespace
}  // namespace tavi
