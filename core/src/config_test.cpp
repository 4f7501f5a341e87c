#include "tavi/config.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

const char* const INDENTED_EXAMPLE = R"({
  "domain": "home.arpa",
  "servers": [
    {
      "name": "nas",
      "home_ip": "192.168.1.10",
      "vpn": [
        {
          "label": "wg",
          "ip": "10.8.0.2"
        }
      ],
      "port": 22,
      "aliases": [
        "files"
      ],
      "web_port": 5000,
      "extra_ports": [
        445
      ]
    }
  ]
})";

const char* const COMPACT_EXAMPLE =
    R"({"domain":"home.arpa","servers":[{"name":"nas","home_ip":"192.168.1.10","vpn":[{"label":"wg","ip":"10.8.0.2"}],"port":22,"aliases":["files"],"web_port":5000,"extra_ports":[445]}]})";

Config example_config() {
  Server nas;
  nas.name = "nas";
  nas.home_ip = "192.168.1.10";
  nas.vpn = {{"wg", "10.8.0.2"}};
  nas.aliases = {"files"};
  nas.web_port = 5000;
  nas.extra_ports = {445};
  return Config{"home.arpa", {nas}};
}

TEST(ConfigWrite, IndentedAndCompactFormsAreExact) {
  EXPECT_EQ(write_config_indented(example_config()), INDENTED_EXAMPLE);
  std::string compact;
  write_config_compact(example_config(), compact);
  EXPECT_EQ(compact, COMPACT_EXAMPLE);
  EXPECT_EQ(write_config_indented(Config{"home.arpa", {}}),
            "{\n  \"domain\": \"home.arpa\",\n  \"servers\": []\n}");
}

TEST(ConfigWrite, OptionalMembersAndEscapes) {
  Server plain;
  plain.name = "a\"b\\c\td\x01\x1b/\x7f\u00e9";
  plain.home_ip = "1.2.3.4";
  std::string compact;
  write_config_compact(Config{"lan", {plain}}, compact);
  EXPECT_EQ(compact,
            "{\"domain\":\"lan\",\"servers\":[{\"name\":\"a\\\"b\\\\c\\td\\u0001\\u001b/\x7f\xc3\xa9\","
            "\"home_ip\":\"1.2.3.4\",\"vpn\":[],\"port\":22,\"aliases\":[]}]}");
}

TEST(ConfigRead, BothFormsOfTheExampleReadBackEqual) {
  EXPECT_EQ(parse_config(INDENTED_EXAMPLE), example_config());
  EXPECT_EQ(parse_config(COMPACT_EXAMPLE), example_config());
  Config odd = example_config();
  odd.servers[0].name = " N\"A\\S\t\u00e9";
  odd.servers.push_back(Server{.name = "x", .home_ip = "::1", .port = 65535, .web_port = 0});
  EXPECT_EQ(parse_config(write_config_indented(odd)), odd);
}

TEST(ConfigRead, AcceptedInputs) {
  struct Case {
    std::string json;
    Config expected;
  };
  Server minimal{.name = "nas", .home_ip = "1.2.3.4"};
  Server no_web = minimal;
  const std::vector<Case> cases = {
      {R"({"domain":"d","servers":[]})", {"d", {}}},
      {R"(["d",[]])", {"d", {}}},
      {R"({"servers":[],"domain":"d"})", {"d", {}}},
      {R"({"domain":"d","servers":[["nas","1.2.3.4"]]})", {"d", {minimal}}},
      {R"({"domain":"d","servers":[{"name":"nas","home_ip":"1.2.3.4","web_port":null}]})", {"d", {no_web}}},
      {R"({"domain":"d","x":1,"x":{"a":[[[[{"b":null}]]]]},"servers":[]})", {"d", {}}},
      {"  {\"domain\":\"d\",\"servers\":[]} \t\r\n", {"d", {}}},
      {R"({"domain":"\u0064","servers":[]})", {"d", {}}},
      {R"({"domain":"d","servers":[{"Name":"x","name":"nas","home_ip":"1.2.3.4"}]})", {"d", {minimal}}},
      {R"({"domain":"d","servers":[{"name":"nas","home_ip":"1.2.3.4","port":65535,"extra_ports":[0]}]})",
       {"d", {Server{.name = "nas", .home_ip = "1.2.3.4", .port = 65535, .extra_ports = {0}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto config = parse_config(c.json);
    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(*config, c.expected);
  }
}

TEST(ConfigRead, RefusedInputs) {
  const std::string prefix = R"({"domain":"d","servers":[{"name":"nas","home_ip":"1.2.3.4",)";
  const std::vector<std::string> cases = {
      "",
      "   ",
      "\xef\xbb\xbf{\"domain\":\"d\",\"servers\":[]}",
      R"({"domain":"d","servers":[]} {})",
      R"({"domain":"d","servers":[]}x)",
      R"({"domain":"d","servers":[]}//)",
      R"({"domain":"d"})",
      R"({"servers":[]})",
      R"(["d"])",
      R"(["d",[],1])",
      R"({"domain":null,"servers":[]})",
      R"({"domain":"d","domain":"e","servers":[]})",
      R"({"domain":"d","servers":[["nas"]]})",
      R"({"domain":"d","servers":[["nas","1.2.3.4",[],22,[],null,[],1]]})",
      R"({"domain":"d","servers":[{"Name":"nas","home_ip":"1.2.3.4"}]})",
      R"({"domain":"d","servers":[{"name":"nas","name":"nas","home_ip":"1.2.3.4"}]})",
      R"({"domain":"d","servers":[{"name":null,"name":"nas","home_ip":"1.2.3.4"}]})",
      prefix + R"("port":null}]})",
      prefix + R"("port":65536}]})",
      prefix + R"("port":-1}]})",
      prefix + R"("port":-0}]})",
      prefix + R"("port":22.0}]})",
      prefix + R"("port":2e1}]})",
      prefix + R"("port":"22"}]})",
      prefix + R"("vpn":null}]})",
      prefix + R"("vpn":[{"label":"wg"}]}]})",
      prefix + R"("vpn":[["wg","1.2.3.4","x"]]}]})",
      prefix + R"("aliases":[1]}]})",
      prefix + R"("extra_ports":[70000]}]})",
      R"({"domain":"d","servers":{}})",
      R"("d")",
      "{\"domain\":\"\xff\",\"servers\":[]}",
      "{\"dom\xff\":1,\"domain\":\"d\",\"servers\":[]}",
      R"({"domain":"d","servers":[],})",
  };
  for (const auto& json : cases) {
    SCOPED_TRACE(json);
    EXPECT_FALSE(parse_config(json));
  }
}

TEST(ConfigRead, SkippedValuesAreNotCheckedForUtf8AndMayNestDeeply) {
  EXPECT_TRUE(parse_config("{\"x\":\"\xff\",\"domain\":\"d\",\"servers\":[]}"));
  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(parse_config(R"({"domain":"d","junk":)" + deep + R"(,"servers":[]})"));
}

// RapidJSON alone refuses numbers beyond a double's range and lone high
// surrogate escapes, though both are well-formed JSON.
TEST(ConfigRead, SkippedValuesMayHoldHugeNumbersAndLoneSurrogates) {
  const std::string many_digits = "1" + std::string(400, '0');
  for (const std::string& skipped : std::vector<std::string>{
           "1e400", "-1E+400", "0e400", "0.5e999", many_digits,
           "[" + many_digits + ".5,-" + many_digits + "]", "\"\\ud800\"", "\"\\uD800\\uD800x\"",
           "\"\\udbff\\u0041\"", "{\"\\ud800\":1e400}"}) {
    SCOPED_TRACE(skipped);
    auto config = parse_config(
        R"({"x":)" + skipped +
        R"(,"domain":"d","servers":[{"name":"nas","home_ip":"1.2.3.4","y":)" + skipped + R"(}]})");
    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(*config, (Config{"d", {Server{.name = "nas", .home_ip = "1.2.3.4"}}}));
  }
  // Where a field reads them, or the JSON around them is broken, they are refused as before.
  const std::string prefix = R"({"domain":"d","servers":[{"name":"nas","home_ip":"1.2.3.4",)";
  for (const std::string& refused : std::vector<std::string>{
           prefix + R"("port":1e400}]})", prefix + R"("port":)" + many_digits + "}]}",
           prefix + R"("aliases":["\ud800"]}]})", R"({"domain":"\ud800\ud800","servers":[]})",
           R"({"\ud800":1,"domain":"d","servers":[]})", R"({"x":01e400,"domain":"d","servers":[]})",
           R"({"x":1.e400,"domain":"d","servers":[]})", R"({"x":1e400,,"domain":"d","servers":[]})",
           R"({"x":"\ud800,"domain":"d","servers":[]})", R"({"x":1e400})"}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(parse_config(refused));
  }
  EXPECT_EQ(parse_config(prefix + R"("port":-1e400}]})").error(),
            "invalid type: floating point `-inf`, expected u16 at line 1 column 72");
}

TEST(HostNames, NameThenAliasesJoinedAsStored) {
  Server s{.name = "nas", .home_ip = "x", .aliases = {"files", "media", "files"}};
  EXPECT_EQ(host_names(s, "home.arpa"),
            (std::vector<std::string>{"nas.home.arpa", "files.home.arpa", "media.home.arpa",
                                      "files.home.arpa"}));
  Server spaced{.name = " Nas", .home_ip = "x"};
  EXPECT_EQ(host_names(spaced, "Home.Arpa."), std::vector<std::string>{" Nas.Home.Arpa."});
}

}  // namespace
}  // namespace tavi
