#include "tavi/ipc.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tavi/fd.hpp"

namespace tavi {
namespace {

Config example_config() {
  Config config{.domain = "home.arpa"};
  config.servers.push_back(Server{.name = "nas", .home_ip = "192.168.1.10"});
  return config;
}

struct AcceptedLine {
  std::string line;
  Request expected;
};

TEST(ParseRequest, AcceptedLines) {
  const Config empty{.domain = "home.arpa"};
  const Config lan_nas{.domain = "lan",
                       .servers = {Server{.name = "nas", .home_ip = "192.168.1.10"}}};
  const std::vector<AcceptedLine> cases = {
      {"\"Ping\"", request::Ping{}},
      {"\"Ping\"\n", request::Ping{}},
      {"{\"Ping\":null}", request::Ping{}},
      {"{\"Ping\":null}\n", request::Ping{}},
      {" \t{ \t\"Ping\" \t: \tnull \t} \t\r\n", request::Ping{}},
      {"\r\n\t \"Ping\"\t \r\n", request::Ping{}},
      {"\"GetConfig\"", request::GetConfig{}},
      {"{\"GetConfig\":null}", request::GetConfig{}},
      {"\"Status\"\n", request::Status{}},
      {"{\"Status\":null}\n", request::Status{}},
      {"\"Recheck\"\n", request::Recheck{}},
      {"{\"Recheck\":null}\n", request::Recheck{}},
      {"\"Update\"\n", request::Update{}},
      {"{\"Update\":null}\n", request::Update{}},
      // Names count as what their escapes decode to.
      {"\"\\u0050ing\"\n", request::Ping{}},
      {"{\"\\u0053tatus\":null}\n", request::Status{}},
      {"{\"SetConfig\":{\"domain\":\"home.arpa\",\"servers\":[]}}\n", request::SetConfig{empty}},
      {"{\"SetConfig\":[\"home.arpa\",[]]}\n", request::SetConfig{empty}},
      {"{ \"SetConfig\" : { \"servers\" : [ ] , \"domain\" : \"home.arpa\" } }  \r\n",
       request::SetConfig{empty}},
      // Unknown keys are skipped, optional server fields take their defaults.
      {"{\"SetConfig\":{\"x\":[1,{\"y\":[]}],\"domain\":\"lan\",\"x\":0,"
       "\"servers\":[{\"name\":\"nas\",\"home_ip\":\"192.168.1.10\",\"extra\":null}]}}\n",
       request::SetConfig{lan_nas}},
      {"{\"SetConfig\":[\"lan\",[[\"nas\",\"192.168.1.10\"]]]}\n", request::SetConfig{lan_nas}},
  };
  for (const AcceptedLine& c : cases) {
    SCOPED_TRACE(c.line);
    auto request = parse_request(c.line);
    ASSERT_TRUE(request) << request.error();
    EXPECT_EQ(*request, c.expected);
  }
}

TEST(ParseRequest, RefusedLines) {
  const std::vector<std::string> cases = {
      "",
      "\n",
      " \t\r\n",
      "\"ping\"",
      "\"PING\"",
      "\"Ping \"",
      "\" Ping\"",
      "\"SetConfig\"",
      "\"Pong\"",
      "{\"SetConfig\":null}",
      "{\"Ping\":{}}",
      "{\"Ping\":[]}",
      "{\"Ping\":true}",
      "{\"Ping\":0}",
      "{\"Ping\":\"\"}",
      "{\"Ping\"}",
      "{\"Ping\" null}",
      "{\"Ping\":null,\"Status\":null}",
      "{\"Ping\":null,\"Ping\":null}",
      "{\"Ping\":null,}",
      "{\"Ping\":null",
      "{\"Ping\":",
      "{\"Ping\"",
      "{",
      "{\"ping\":null}",
      "{}",
      "[]",
      "[\"Ping\"]",
      "5",
      "true",
      "null",
      "Ping",
      "'Ping'",
      "\"Ping",
      "\xEF\xBB\xBF\"Ping\"",
      "\"Ping\" \"Ping\"",
      "\"Ping\"\n\"Ping\"\n",
      "{\"Update\":null}{\"Update\":null}",
      "\"Ping\"x",
      "{\"Ping\":null}}",
      "\"Ping\"\x0B",
      "\"Ping\"\xC2\xA0",
      "\"Pi\x01ng\"",
      "\"Pi\tng\"",
      "\"Ping\\u0000\"",
      "\"\\uD800\"",
      "{\"SetConfig\":{\"domain\":\"lan\"}}",
      "{\"SetConfig\":{\"servers\":[]}}",
      "{\"SetConfig\":{\"domain\":\"lan\",\"domain\":\"lan\",\"servers\":[]}}",
      "{\"SetConfig\":{\"domain\":5,\"servers\":[]}}",
      "{\"SetConfig\":[\"lan\"]}",
      "{\"SetConfig\":[\"lan\",[],1]}",
      "{\"SetConfig\":{\"domain\":\"lan\",\"servers\":[{\"name\":\"nas\"}]}}",
      "{\"SetConfig\":{\"domain\":\"lan\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"1.2.3.4\","
      "\"port\":65536}]}}",
      "{\"SetConfig\":{\"domain\":\"lan\",\"servers\":[]},\"Ping\":null}",
      "{\"SetConfig\":{\"domain\":\"lan\",\"servers\":[]}",
      "{\"SetConfig\":{\"domain\":\"l\xFFn\",\"servers\":[]}}",
  };
  for (const std::string& line : cases) {
    SCOPED_TRACE(line);
    auto request = parse_request(line);
    EXPECT_FALSE(request);
  }
}

TEST(ParseRequest, CompactConfigReadsBackEqual) {
  // The reply's form of a Config is accepted as a SetConfig payload, so
  // every escape the writer produces decodes back to the same text.
  Config config = example_config();
  config.domain = "ho\"me\\.arpa\t\x01\x1f/\x7f\xC3\xA9";
  config.servers[0].vpn = {{"wg \"0\"", "10.8.0.2"}, {"", "fd00::2"}};
  config.servers[0].port = 65535;
  config.servers[0].aliases = {"files", "n\nas"};
  config.servers[0].web_port = 8080;
  config.servers[0].extra_ports = {445, 0, 445};
  std::string line = "{\"SetConfig\":";
  write_config_compact(config, line);
  line += "}\n";
  auto request = parse_request(line);
  ASSERT_TRUE(request) << request.error();
  EXPECT_EQ(*request, Request{request::SetConfig{config}});
}

TEST(RequestVariants, NamesAndIndices) {
  const std::vector<std::string> names = {"Ping",   "GetConfig", "SetConfig",
                                          "Status", "Recheck",   "Update"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto index = match_request_variant(names[i]);
    ASSERT_TRUE(index);
    EXPECT_EQ(*index, i);
  }
  using namespace std::string_view_literals;
  for (std::string_view name :
       {"ping"sv, "Ping "sv, ""sv, "Pong"sv, "GetConfig\0"sv, "SETCONFIG"sv}) {
    auto index = match_request_variant(name);
    ASSERT_FALSE(index);
    EXPECT_EQ(index.error(), unknown_request_variant(name));
  }
  EXPECT_EQ(unknown_request_variant("ping"),
            "unknown variant `ping`, expected one of `Ping`, `GetConfig`, `SetConfig`, `Status`, "
            "`Recheck`, `Update`");
  std::string expected;
  write_request_variant_expected(expected);
  EXPECT_EQ(expected, "variant identifier");
}

struct ReplyCase {
  std::string what;
  Response response;
  std::string line;
};

TEST(EncodeResponse, EveryReplyByteForByte) {
  Config full = example_config();
  full.servers[0].vpn = {{"wg", "10.8.0.2"}};
  full.servers[0].aliases = {"files"};
  full.servers[0].web_port = 8080;
  full.servers[0].extra_ports = {445, 139};
  Config web_only = example_config();
  web_only.servers[0].web_port = 80;

  const std::vector<ServerStatus> statuses = {
      {"nas", "nas.home.arpa", std::nullopt, Route::unknown()},
      {"pi", "pi.home.arpa", "192.168.1.20", Route::home()},
      {"box", "box.home.arpa", "10.8.0.3", Route::vpn("wg")},
      {"old", "old.home.arpa", std::nullopt, Route::unreachable()},
      {"v6", "v6.home.arpa", "fd00::1", Route::vpn("")},
  };
  const std::vector<ReplyCase> cases = {
      {"pong", response::Pong{"0.3.0"}, "{\"Pong\":{\"version\":\"0.3.0\"}}\n"},
      {"default config", response::Config{Config{.domain = "home.arpa"}},
       "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[]}}\n"},
      {"plain server", response::Config{example_config()},
       "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"192.168."
       "1.10\","
       "\"vpn\":[],\"port\":22,\"aliases\":[]}]}}\n"},
      {"every server member", response::Config{full},
       "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"192.168."
       "1.10\","
       "\"vpn\":[{\"label\":\"wg\",\"ip\":\"10.8.0.2\"}],\"port\":22,\"aliases\":[\"files\"],"
       "\"web_port\":8080,\"extra_ports\":[445,139]}]}}\n"},
      {"web port without extra ports", response::Config{web_only},
       "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"192.168."
       "1.10\","
       "\"vpn\":[],\"port\":22,\"aliases\":[],\"web_port\":80}]}}\n"},
      {"empty status", response::Status{}, "{\"Status\":[]}\n"},
      {"one unprobed server", response::Status{{statuses[0]}},
       "{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.home.arpa\",\"ip\":null,\"route\":"
       "\"Unknown\"}]}\n"},
      {"every route", response::Status{statuses},
       "{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.home.arpa\",\"ip\":null,\"route\":"
       "\"Unknown\"},"
       "{\"name\":\"pi\",\"fqdn\":\"pi.home.arpa\",\"ip\":\"192.168.1.20\",\"route\":\"Home\"},"
       "{\"name\":\"box\",\"fqdn\":\"box.home.arpa\",\"ip\":\"10.8.0.3\",\"route\":{\"Vpn\":\"wg\"}"
       "},"
       "{\"name\":\"old\",\"fqdn\":\"old.home.arpa\",\"ip\":null,\"route\":\"Unreachable\"},"
       "{\"name\":\"v6\",\"fqdn\":\"v6.home.arpa\",\"ip\":\"fd00::1\",\"route\":{\"Vpn\":\"\"}}]}"
       "\n"},
      {"ok", response::Ok{}, "\"Ok\"\n"},
      {"plain error", response::Error{"Nama tidak boleh kosong."},
       "{\"Error\":\"Nama tidak boleh kosong.\"}\n"},
      {"escaped error", response::Error{"a\"b\\c\td\ne\r\b\f\x01\x1b\x1f"},
       "{\"Error\":\"a\\\"b\\\\c\\td\\ne\\r\\b\\f\\u0001\\u001b\\u001f\"}\n"},
      {"bytes left alone", response::Error{"/\x7f \xC3\xA9t\xC3\xA9 \xE2\x80\xA8"},
       "{\"Error\":\"/\x7f \xC3\xA9t\xC3\xA9 \xE2\x80\xA8\"}\n"},
      {"escaped status",
       response::Status{{{"n\"s", "n\"s.lan", std::nullopt, Route::vpn("w\\g\n")}}},
       "{\"Status\":[{\"name\":\"n\\\"s\",\"fqdn\":\"n\\\"s.lan\",\"ip\":null,"
       "\"route\":{\"Vpn\":\"w\\\\g\\n\"}}]}\n"},
      {"status with control bytes",
       response::Status{{{"\x01\x1f\b\f\r\t/\x7f", "\xC3\xA9.lan", "::1", Route::unreachable()}}},
       "{\"Status\":[{\"name\":\"\\u0001\\u001f\\b\\f\\r\\t/\x7f\",\"fqdn\":\"\xC3\xA9.lan\","
       "\"ip\":\"::1\",\"route\":\"Unreachable\"}]}\n"},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = encode_response(c.response);
    EXPECT_EQ(line, c.line);
    // One line: the LF at the end is its only line break.
    EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 1);
    // What the control port measures before it copies the state for a reply.
    if (const auto* status = std::get_if<response::Status>(&c.response)) {
      EXPECT_EQ(status_reply_size(status->servers), line.size());
    }
    if (const auto* config = std::get_if<response::Config>(&c.response)) {
      EXPECT_EQ(config_reply_size(config->config), line.size());
    }
  }
}

// The control port decides from this size alone whether a Config reply must
// wait for a long turn, so it must be the reply's size to the byte, for every
// member a server may have and every width of number.
TEST(ConfigReplySize, IsTheSizeOfTheEncodedReply) {
  Server every{.name = "n\"a\\s\x01",
               .home_ip = " 192.168.1.10\t",
               .vpn = {{"wg", "10.8.0.2"}, {"l\nte", "fd00::1"}, {"", ""}},
               .port = 0,
               .aliases = {"files", "\xC3\xA9", ""},
               .web_port = 65535,
               .extra_ports = {9, 10, 99, 100, 999, 1000, 9999, 10000, 0}};
  Server plain{.name = "pi", .home_ip = "192.168.1.20"};
  Server one_each{.name = "box",
                  .home_ip = "::1",
                  .vpn = {{"wg", "10.8.0.3"}},
                  .port = 65535,
                  .aliases = {"b"},
                  .web_port = 0,
                  .extra_ports = {7}};
  const std::vector<Config> cases = {
      {"", {}},
      {"home.arpa", {plain}},
      {"home.arpa", {every}},
      {"Home.\x7f\x1f", {plain, every, one_each, plain}},
  };
  for (const Config& config : cases) {
    SCOPED_TRACE(config.servers.size());
    EXPECT_EQ(config_reply_size(config), encode_response(response::Config{config}).size());
  }
}

TEST(WriteResponse, SendsTheWholeLineAndIgnoresAClosedPeer) {
  ::signal(SIGPIPE, SIG_IGN);  // as the daemon runs
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Fd ours(pair[0]);
  Fd peer(pair[1]);

  // Larger than a socket buffer: the write-all must repeat partial sends.
  Response big = response::Error{std::string(600'000, 'x')};
  const std::string expected = encode_response(big);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(peer.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  write_response(ours.get(), big);
  ::shutdown(ours.get(), SHUT_WR);
  reader.join();
  EXPECT_EQ(received, expected);

  // The connection is still ours to close; writing to a gone peer is harmless.
  peer.reset();
  write_response(ours.get(), response::Ok{});
  write_response(ours.get(), response::Ok{});
  EXPECT_GE(::fcntl(ours.get(), F_GETFD), 0);
}

}  // namespace
}  // namespace tavi
