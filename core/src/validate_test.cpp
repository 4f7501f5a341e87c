#include "tavi/validate.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavi {
namespace {

const std::string EMPTY_DOMAIN = "Akhiran domain tidak boleh kosong.";
const std::string EMPTY_NAME = "Nama tidak boleh kosong.";
const std::string LOCAL =
    "\".local\" dipakai perangkat Apple/printer (Bonjour). Pilih yang lain, mis. home.arpa.";

std::string too_long(const std::string& name) {
  return "Nama \"" + name + "\" terlalu panjang (maks 63 karakter).";
}
std::string bad_chars(const std::string& name) {
  return "Nama \"" + name +
         "\" hanya boleh huruf kecil, angka, dan tanda minus (tidak di awal/akhir).";
}
std::string real_domain(const std::string& label) {
  return "\"." + label +
         "\" adalah domain internet sungguhan, bisa bentrok dengan situs asli. Pakai home.arpa, "
         "internal, atau lan.";
}
std::string not_safe(const std::string& label) {
  return "\"." + label +
         "\" belum dijamin aman. Pakai salah satu: home.arpa, internal, test, localhost.";
}
std::string duplicate(const std::string& name) {
  return "Nama \"" + name + "\" dipakai lebih dari sekali.";
}
std::string bad_home_ip(const std::string& name) {
  return "IP rumah untuk \"" + name + "\" tidak valid.";
}
std::string bad_vpn_ip(const std::string& ip, const std::string& name) {
  return "IP VPN \"" + ip + "\" untuk \"" + name + "\" tidak valid.";
}
std::string bad_port(const std::string& name) { return "Port untuk \"" + name + "\" tidak valid."; }

// The message, or "" for an accepted configuration.
std::string verdict(const Config& config) {
  auto result = validate_config(config);
  return result ? "" : result.error();
}

Server server(std::string name, std::string home_ip = "192.168.1.10") {
  return Server{.name = std::move(name), .home_ip = std::move(home_ip)};
}

TEST(ValidateMessages, FixedTextsHaveTheirLengths) {
  EXPECT_EQ(EMPTY_DOMAIN.size(), 34u);
  EXPECT_EQ(EMPTY_NAME.size(), 24u);
  EXPECT_EQ(LOCAL.size(), 84u);
}

TEST(NormalizeDomain, TrimsThenDropsFinalDotsThenLowersAscii) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"Home.Arpa.", "home.arpa"},
      {" home.arpa ", "home.arpa"},
      {"\u3000LAN...\u00a0", "lan"},
      {".lan", ".lan"},              // leading dots stay
      {"lan \t.", "lan \t"},         // white space before a final dot survives
      {"\u00c9.LAN", "\u00c9.lan"},  // only ASCII capitals change
      {"...", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(normalize_domain(c.in), c.out) << c.in;
  }
}

TEST(ValidateName, EachRuleInOrder) {
  struct Case {
    std::string name, message;
  };
  const std::string e_acute = "\u00e9";
  std::string thirty_two_e_acute;
  for (int i = 0; i < 32; ++i) thirty_two_e_acute += e_acute;
  const std::vector<Case> cases = {
      {"nas-1", ""},
      {" nas\t", ""},
      {std::string(63, 'a'), ""},
      {"", EMPTY_NAME},
      {" \u2028 ", EMPTY_NAME},
      {std::string(64, 'a'), too_long(std::string(64, 'a'))},
      // Length is counted in bytes before the characters are examined.
      {thirty_two_e_acute, too_long(thirty_two_e_acute)},
      {" " + std::string(64, 'A') + " ", too_long(std::string(64, 'A'))},
      {"NAS", bad_chars("NAS")},
      {"-nas", bad_chars("-nas")},
      {"nas-", bad_chars("nas-")},
      {"n_as", bad_chars("n_as")},
      {"nas.x", bad_chars("nas.x")},
      {" n as ", bad_chars("n as")},
      {"n" + e_acute + "s", bad_chars("n" + e_acute + "s")},
      {"-", bad_chars("-")},
      {std::string("a\0b", 3), bad_chars(std::string("a\0b", 3))},
  };
  for (const auto& c : cases) {
    auto result = validate_name(c.name);
    EXPECT_EQ(result ? "" : result.error(), c.message) << c.name;
  }
}

TEST(ValidateConfig, DomainRules) {
  struct Case {
    std::string domain, message;
  };
  const std::vector<Case> cases = {
      {"home.arpa", ""},
      {"Home.Arpa.", ""},
      {" home.arpa ", ""},
      {"lan", ""},
      {"nas.lan", ""},
      {"corp", ""},
      {"x.localhost", ""},
      {"home", ""},
      {"my.home", ""},
      {"local.lan", ""},
      {"a .lan", ""},  // each label is trimmed only for its own test
      {"", EMPTY_DOMAIN},
      {"   ", EMPTY_DOMAIN},
      {"...", EMPTY_DOMAIN},
      {".lan", EMPTY_NAME},
      {"a..lan", EMPTY_NAME},
      {"my_net.lan", bad_chars("my_net")},
      {std::string(64, 'a') + ".lan", too_long(std::string(64, 'a'))},
      // Label errors come before the suffix rules.
      {"my_net.com", bad_chars("my_net")},
      {"local", LOCAL},
      {"LOCAL.", LOCAL},
      {"printer.local", LOCAL},
      {"xlan", not_safe("xlan")},
      {"nas.xlan", not_safe("xlan")},
      {"example.com", real_domain("com")},
      {"com", real_domain("com")},
      {"arpa", real_domain("arpa")},
      {"Example.COM.", real_domain("com")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(verdict(Config{c.domain, {}}), c.message) << '"' << c.domain << '"';
  }
}

// Each host name holds the whole suffix, so a suffix of a mebibyte on tens of
// thousands of servers would take gigabytes, at every start again once saved.
TEST(ValidateConfig, AnAcceptedSuffixIsAtMost253Bytes) {
  const auto labels = [](std::size_t count) {
    std::string domain;
    for (std::size_t i = 0; i < count; ++i) domain += "a.";
    return domain;
  };
  const std::string longest = labels(125) + "lan";  // 253 bytes
  const std::string too_long_domain = "Akhiran domain terlalu panjang (maks 253 karakter).";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {longest, ""},
      {" " + longest + ". ", ""},  // counted after normalising
      {"a" + longest, too_long_domain},
      {labels(5000) + "home.arpa", too_long_domain},
      // Refused for another reason, a long suffix keeps its message.
      {labels(200) + "com", real_domain("com")},
      {labels(200) + "a_b.lan", bad_chars("a_b")},
  };
  for (const auto& [domain, message] : cases) {
    EXPECT_EQ(verdict(Config{domain, {server("nas")}}), message) << domain.size();
  }
}

TEST(ValidateConfig, DomainIsJudgedOnACopy) {
  const Config config{" Home.Arpa. ", {server("nas")}};
  const Config before = config;
  EXPECT_EQ(verdict(config), "");
  EXPECT_EQ(config, before);
}

TEST(ValidateConfig, ServerRules) {
  struct Case {
    std::string what;
    std::vector<Server> servers;
    std::string message;
  };
  Server with_vpn = server("nas");
  with_vpn.vpn = {{"wg", "10.8.0.2"}, {"wg2", "10.8.0.x"}};
  Server lenient = server("nas");
  lenient.vpn = {{"", "10.8.0.2"}, {"", "::1"}};
  lenient.extra_ports = {445, 445};
  lenient.web_port = 22;
  lenient.port = 65535;
  Server zero_port = server("nas");
  zero_port.port = 0;
  Server zero_web = server("nas");
  zero_web.web_port = 0;
  Server zero_extra = server("nas");
  zero_extra.extra_ports = {445, 0};
  Server self_alias = server("nas");
  self_alias.aliases = {"files", "nas"};
  Server other_alias = server("box");
  other_alias.aliases = {"files"};
  Server files_alias = server("nas");
  files_alias.aliases = {"files"};
  Server spaced_alias = server("web");
  spaced_alias.aliases = {" files"};
  Server bad_alias = server("nas");
  bad_alias.aliases = {"ok", "Bad_Alias"};

  const std::vector<Case> cases = {
      {"no servers", {}, ""},
      {"lenient fields", {lenient, server("box", "192.168.1.10")}, ""},
      {"home_ip with spaces", {server("nas", " 192.168.1.10 ")}, ""},
      {"home_ip ::1", {server("nas", "::1")}, ""},
      {"home_ip v4-mapped", {server("nas", "::ffff:192.168.1.10")}, ""},
      {"leading space keeps its own key", {server(" nas"), server("nas")}, ""},
      {"name rule", {server("NAS")}, bad_chars("NAS")},
      {"empty name", {server(" ")}, EMPTY_NAME},
      {"alias rule", {bad_alias}, bad_chars("Bad_Alias")},
      {"same name twice", {server("nas"), server("nas")}, duplicate("nas")},
      {"alias equals own name", {self_alias}, duplicate("nas")},
      {"duplicate quoted as stored, untrimmed",
       {server(" nas\t"), server(" nas\t")},
       duplicate(" nas\t")},
      {"alias equals another's name", {files_alias, server("files")}, duplicate("files")},
      {"alias equals another's alias", {files_alias, other_alias}, duplicate("files")},
      {"alias key is not trimmed", {files_alias, spaced_alias}, ""},
      {"home_ip out of range", {server("nas", "192.168.1.300")}, bad_home_ip("nas")},
      {"home_ip leading zero", {server("nas", "010.0.0.1")}, bad_home_ip("nas")},
      {"home_ip with port", {server("nas", "192.168.1.10:22")}, bad_home_ip("nas")},
      {"home_ip in brackets", {server("nas", "[::1]")}, bad_home_ip("nas")},
      {"home_ip with zone", {server("nas", "fe80::1%en0")}, bad_home_ip("nas")},
      {"home_ip empty", {server("nas", "")}, bad_home_ip("nas")},
      {"home_ip message quotes the stored name", {server(" nas ", "x")}, bad_home_ip(" nas ")},
      {"vpn ip", {with_vpn}, bad_vpn_ip("10.8.0.x", "nas")},
      {"port 0", {zero_port}, bad_port("nas")},
      {"web_port 0", {zero_web}, bad_port("nas")},
      {"extra port 0", {zero_extra}, bad_port("nas")},
      {"second server's address", {server("nas"), server("box", "nope")}, bad_home_ip("box")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(verdict(Config{"home.arpa", c.servers}), c.message) << c.what;
  }
}

TEST(ValidateConfig, OrderOfRulesWhereTwoCouldFire) {
  struct Case {
    std::string what;
    Config config;
    std::string message;
  };
  Server dup_and_bad_ip = server("nas", "bad");
  Server name_error_after_dup = server("nas");
  name_error_after_dup.aliases = {"Bad"};
  Server bad_home_and_vpn = server("nas", "bad");
  bad_home_and_vpn.vpn = {{"wg", "also-bad"}};
  bad_home_and_vpn.port = 0;
  Server bad_vpn_and_port = server("nas");
  bad_vpn_and_port.vpn = {{"wg", "also-bad"}};
  bad_vpn_and_port.port = 0;
  Server bad_first = server("nas", "bad");

  const std::vector<Case> cases = {
      {"domain before servers", {"example.com", {server("NAS")}}, real_domain("com")},
      {"duplicate before address error",
       {"lan", {server("nas"), dup_and_bad_ip}},
       duplicate("nas")},
      {"name error later in the server before its duplicate",
       {"lan", {server("nas"), name_error_after_dup}},
       bad_chars("Bad")},
      {"home address before vpn and port", {"lan", {bad_home_and_vpn}}, bad_home_ip("nas")},
      {"vpn address before port", {"lan", {bad_vpn_and_port}}, bad_vpn_ip("also-bad", "nas")},
      {"a whole server before the next one's name",
       {"lan", {bad_first, server("NAS")}},
       bad_home_ip("nas")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(verdict(c.config), c.message) << c.what;
  }
}

}  // namespace
}  // namespace tavi
