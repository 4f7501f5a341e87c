// The control port of the running daemon, over real loopback connections.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <atomic>
#include <random>
#include <thread>

#include "harness.hpp"
#include "stream.hpp"
#include "tavi/config.hpp"
#include "tavi/socket.hpp"

namespace tavi::e2e {
namespace {

using namespace std::chrono_literals;

const std::string PONG = "{\"Pong\":{\"version\":\"0.3.0\"}}\n";
const std::string OK = "\"Ok\"\n";
constexpr std::size_t MAX_LINE = 1'048'576;

SocketAddress loopback(int port) {
  return {Ipv4Address{{127, 0, 0, 1}}, static_cast<std::uint16_t>(port)};
}

std::string set_config_line(const Config& config) {
  std::string line = "{\"SetConfig\":";
  write_config_compact(config, line);
  return line + "}\n";
}

using test::read_until_closed;

// A daemon started with `run` on scratch paths and addresses of its own.
class ControlPort : public ::testing::Test {
 protected:
  void start(const std::string& config_text = "") {
    if (!config_text.empty()) write_file(config_file(), config_text);
    write_file(dir_.file("hosts"), "127.0.0.1 localhost\n");
    port_ = free_loopback_port();
    std::mt19937 random(std::random_device{}());
    ChildEnvironment env;
    env.set = {
        {"TAVI_CONFIG", config_file()},
        {"TAVI_HOSTS_FILE", dir_.file("hosts")},
        {"TAVI_IPC_ADDR", fmt::format("127.0.0.1:{}", port_)},
        {"TAVI_LOOPBACK", fmt::format("127.77.{}.2", random() % 256)},
        {"TAVI_UPDATE_URL", "http://127.0.0.1:1"},
    };
    daemon_ =
        std::make_unique<RunningProgram>(helper_binary(), std::vector<std::string>{"run"}, env);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (exchange("\"Ping\"\n") == PONG) return;
      std::this_thread::sleep_for(50ms);
    }
    FAIL() << "the daemon did not answer: " << daemon_->stderr_so_far();
  }

  std::string config_file() const { return dir_.file("config.json"); }

  Fd connect_client() {
    auto client = connect_with_timeout(loopback(port_), 2s);
    if (!client) return Fd();
    // Never hang the test: the longest wait here is the daemon's 5 s limit.
    (void)set_receive_timeout(client->get(), 20s);
    return std::move(*client);
  }

  // Sends `bytes`, then ends the sending side, and gives the reply.
  std::string exchange(const std::string& bytes, bool end_sending = true) {
    Fd client = connect_client();
    if (!client) return "<no connection>";
    std::thread sender([&] {
      (void)send_all(client.get(), bytes);
      if (end_sending) shutdown_write(client.get());
    });
    std::string reply = read_until_closed(client.get());
    sender.join();
    return reply;
  }

  // Polls Status until `wanted` holds, for at most 10 s.
  std::string status_until(const std::function<bool(const std::string&)>& wanted) {
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      reply = exchange("\"Status\"\n");
      if (wanted(reply)) break;
      std::this_thread::sleep_for(50ms);
    }
    return reply;
  }

  std::string get_config() { return exchange("\"GetConfig\"\n"); }

  ScratchDir dir_;
  int port_ = 0;
  std::unique_ptr<RunningProgram> daemon_;
};

TEST_F(ControlPort, PingAndGetConfigAnswerWithTheStoredConfiguration) {
  // Stored with capitals: kept as written until a SetConfig replaces it.
  ASSERT_NO_FATAL_FAILURE(
      start("{\"domain\":\"Home.Arpa\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"127.0.0.1\","
            "\"port\":1}]}"));
  EXPECT_EQ(exchange("{ \"Ping\" : null }\r\n"), PONG);
  EXPECT_EQ(get_config(),
            "{\"Config\":{\"domain\":\"Home.Arpa\",\"servers\":[{\"name\":\"nas\",\"home_ip\":"
            "\"127.0.0.1\","
            "\"vpn\":[],\"port\":1,\"aliases\":[]}]}}\n");
  const std::string status = exchange("\"Status\"\n");
  EXPECT_TRUE(status.starts_with("{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.Home.Arpa\","))
      << status;
}

TEST_F(ControlPort, SetConfigIsSavedInstalledAndProbed) {
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(get_config(), "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[]}}\n");
  EXPECT_EQ(exchange("\"Status\"\n"), "{\"Status\":[]}\n");

  // One server answers at home, one only through its VPN address, one not at all.
  auto home = bind_listener(loopback(0));
  ASSERT_TRUE(home);
  const std::uint16_t home_port = local_address(home->get())->port;
  auto vpn = bind_listener({Ipv4Address{{127, 0, 0, 2}}, 0});
  ASSERT_TRUE(vpn);
  const std::uint16_t vpn_port = local_address(vpn->get())->port;
  std::uint16_t closed_port;
  {
    auto gone = bind_listener(loopback(0));
    ASSERT_TRUE(gone);
    closed_port = local_address(gone->get())->port;
  }
  Config wanted{.domain = " Home.ARPA. "};
  wanted.servers.push_back(Server{.name = "nas", .home_ip = "127.0.0.1", .port = home_port});
  wanted.servers.push_back(Server{
      .name = "box", .home_ip = "127.0.0.1", .vpn = {{"wg", "127.0.0.2"}}, .port = vpn_port});
  wanted.servers.push_back(Server{.name = "old", .home_ip = "127.0.0.1", .port = closed_port});
  EXPECT_EQ(exchange(set_config_line(wanted)), OK);

  Config normalised = wanted;
  normalised.domain = "home.arpa";
  std::string expected_reply = "{\"Config\":";
  write_config_compact(normalised, expected_reply);
  EXPECT_EQ(get_config(), expected_reply + "}\n");
  auto from_file = parse_config(read_file(config_file()));
  ASSERT_TRUE(from_file) << from_file.error();
  EXPECT_EQ(*from_file, normalised);

  const std::string probed =
      "{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.home.arpa\",\"ip\":\"127.0.0.1\",\"route\":"
      "\"Home\"},"
      "{\"name\":\"box\",\"fqdn\":\"box.home.arpa\",\"ip\":\"127.0.0.2\",\"route\":{\"Vpn\":\"wg\"}"
      "},"
      "{\"name\":\"old\",\"fqdn\":\"old.home.arpa\",\"ip\":null,\"route\":\"Unreachable\"}]}\n";
  EXPECT_EQ(status_until([&](const std::string& s) { return s == probed; }), probed);

  // Keeping nas under the same domain keeps what was found for it until the
  // next cycle; a renamed server starts unprobed.
  Config renamed = normalised;
  renamed.servers = {normalised.servers[0], normalised.servers[2]};
  renamed.servers[1].name = "new";
  renamed.servers[1].home_ip = "127.0.0.1";
  EXPECT_EQ(exchange(set_config_line(renamed)), OK);
  const std::string status = exchange("\"Status\"\n");
  EXPECT_TRUE(status.starts_with(
      "{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.home.arpa\",\"ip\":\"127.0.0.1\","
      "\"route\":\"Home\"},{\"name\":\"new\",\"fqdn\":\"new.home.arpa\",\"ip\":"))
      << status;
  EXPECT_EQ(exchange("\"Recheck\"\n"), OK);
  EXPECT_EQ(exchange("{\"Update\":null}\n"), OK);
}

TEST_F(ControlPort, RefusedSetConfigChangesNothing) {
  const std::string stored =
      "{\"domain\":\"lan\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"127.0.0.1\",\"port\":1}]}";
  ASSERT_NO_FATAL_FAILURE(start(stored));
  const std::string before = get_config();
  Config bad{.domain = "example.com"};
  EXPECT_EQ(
      exchange(set_config_line(bad)),
      "{\"Error\":\"\\\".com\\\" adalah domain internet sungguhan, bisa bentrok dengan situs asli. "
      "Pakai home.arpa, internal, atau lan.\"}\n");
  bad = Config{.domain = "lan", .servers = {Server{.name = "nas", .home_ip = "192.168.1.300"}}};
  EXPECT_EQ(exchange(set_config_line(bad)),
            "{\"Error\":\"IP rumah untuk \\\"nas\\\" tidak valid.\"}\n");
  EXPECT_EQ(read_file(config_file()), stored);
  EXPECT_EQ(get_config(), before);
}

TEST_F(ControlPort, UnreadableRequestsGetNoReplyAndTheDaemonGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Started first: it has the longest wait, the daemon's 5 s receive limit.
  Fd silent = connect_client();
  ASSERT_TRUE(silent);
  ASSERT_TRUE(send_all(silent.get(), "\"Ping\""));
  const auto silent_since = std::chrono::steady_clock::now();
  std::string silent_reply;
  std::chrono::steady_clock::duration silent_took{};
  std::thread silent_reader([&] {
    silent_reply = read_until_closed(silent.get());
    silent_took = std::chrono::steady_clock::now() - silent_since;
  });

  for (const std::string line :
       {"\"ping\"\n", "{\"Ping\":{}}\n", "{}\n", "\n", "\"Ping\" \"Ping\"\n",
        "{\"SetConfig\":null}\n", "\"Pi\xFFng\"\n", "\"Ping\"\xC3\n"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(exchange(line), "");
  }
  {
    Fd closed_at_once = connect_client();
    ASSERT_TRUE(closed_at_once);
  }
  EXPECT_EQ(exchange("", true), "");
  // Without its LF, a request is still answered when the sending side ends.
  EXPECT_EQ(exchange("\"Ping\"", true), PONG);

  silent_reader.join();
  EXPECT_EQ(silent_reply, "");
  EXPECT_GE(silent_took, 4500ms);
  EXPECT_LT(silent_took, 15s);
  EXPECT_EQ(exchange("\"Ping\"\n"), PONG);
}

TEST_F(ControlPort, OnlyTheFirstLineOfAConnectionIsAnswered) {
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(exchange("\"Ping\"\n\"GetConfig\"\n\"Status\"\n", false), PONG);
}

TEST_F(ControlPort, ALineOfExactlyOneMebibyteIsReadWhole) {
  ASSERT_NO_FATAL_FAILURE(start());
  Config wanted{.domain = "lan",
                .servers = {Server{.name = "nas", .home_ip = "127.0.0.1", .port = 1}}};
  std::string config_text;
  write_config_compact(wanted, config_text);
  const std::string head = "{\"SetConfig\":";
  const std::string tail = "}\n";
  const std::string line =
      head + std::string(MAX_LINE - head.size() - config_text.size() - tail.size(), ' ') +
      config_text + tail;
  ASSERT_EQ(line.size(), MAX_LINE);
  EXPECT_EQ(exchange(line, false), OK);
  std::string expected = "{\"Config\":" + config_text + "}\n";
  EXPECT_EQ(get_config(), expected);
}

TEST_F(ControlPort, ALongerLineIsCutAtOneMebibyte) {
  ASSERT_NO_FATAL_FAILURE(start());
  // The cut leaves one request and white space: answered.
  EXPECT_EQ(exchange("\"Ping\"" + std::string(MAX_LINE, ' ') + "\n", false), PONG);
  // The cut falls inside the request: no reply, nothing changed.
  const std::string before = get_config();
  Config wanted{.domain = "lan"};
  std::string config_text;
  write_config_compact(wanted, config_text);
  EXPECT_EQ(exchange("{\"SetConfig\":" + std::string(MAX_LINE, ' ') + config_text + "}\n", false),
            "");
  EXPECT_EQ(get_config(), before);
}

TEST_F(ControlPort, ConcurrentSetConfigsEndWithFileAndDaemonAlike) {
  ASSERT_NO_FATAL_FAILURE(start());
  constexpr int CLIENTS = 16;
  std::atomic<int> ok{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < CLIENTS; ++i) {
    clients.emplace_back([&, i] {
      Config config{.domain = "lan"};
      for (int k = 0; k <= i; ++k) {
        config.servers.push_back(
            Server{.name = fmt::format("s{}-{}", i, k), .home_ip = "127.0.0.1", .port = 1});
      }
      if (exchange(set_config_line(config)) == OK) ++ok;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(ok, CLIENTS);
  auto from_file = parse_config(read_file(config_file()));
  ASSERT_TRUE(from_file) << from_file.error();
  std::string expected = "{\"Config\":";
  write_config_compact(*from_file, expected);
  EXPECT_EQ(get_config(), expected + "}\n");
}

}  // namespace
}  // namespace tavi::e2e
