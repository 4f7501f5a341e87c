// Control connections in-process: real loopback sockets against a DaemonState.
#include "control.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "scratch.hpp"
#include "stream.hpp"
#include "tavi/socket.hpp"
#include "thread_cap.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;

using test::read_file;
using test::read_until_closed;

Config two_servers() {
  return Config{.domain = "home.arpa",
                .servers = {Server{.name = "nas", .home_ip = "192.168.1.10"},
                            Server{.name = "pi", .home_ip = "192.168.1.20"}}};
}

std::string set_config_line(const Config& config) {
  std::string line = "{\"SetConfig\":";
  write_config_compact(config, line);
  return line + "}\n";
}

// A DaemonState, both channels, a scratch configuration file and a loopback
// listener; each exchange runs handle_ipc_connection on one real connection.
class ControlConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    config_file_ = folder_.file("config.json");
    ::setenv("TAVI_CONFIG", config_file_.c_str(), 1);

    state_->config = two_servers();
    state_->status = initial_status(state_->config);
    state_->status[0].ip = "192.168.1.10";
    state_->status[0].route = Route::home();
    state_->status[1].ip = "10.8.0.3";
    state_->status[1].route = Route::vpn("wg");

    auto listener = bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0});
    ASSERT_TRUE(listener);
    listener_ = std::move(*listener);
    address_ = *local_address(listener_.get());
  }
  // Sends `bytes` (then ends the sending side when asked), and gives what
  // came back before the daemon closed the connection.
  std::string exchange(const std::string& bytes, bool end_sending = true) {
    auto client = connect_with_timeout(address_, 2s);
    EXPECT_TRUE(client);
    auto served = accept_connection(listener_.get());
    EXPECT_TRUE(served);
    std::thread connection_thread(handle_ipc_connection, std::move(*served), recheck_, update_,
                                  state_, LongTurns());
    std::thread sender([&] {
      EXPECT_TRUE(send_all(client->get(), bytes));
      if (end_sending) shutdown_write(client->get());
    });
    std::string reply = read_until_closed(client->get());
    sender.join();
    connection_thread.join();
    return reply;
  }

  // Runs the accept loop on the listener, on a thread of its own, for the
  // rest of the test program.
  void serve_forever(LongTurns turns = LongTurns()) {
    std::thread([listener = std::move(listener_), recheck = recheck_, update = update_,
                 state = state_, turns = std::move(turns)]() mutable {
      accept_ipc_connections(std::move(listener), std::move(recheck), std::move(update),
                             std::move(state), std::move(turns));
    }).detach();
  }

  // A connection to the listener whose receives wait at most `limit`.
  Fd client(std::chrono::milliseconds limit = 10s) {
    auto connected = connect_with_timeout(address_, 2s);
    EXPECT_TRUE(connected);
    if (!connected) return Fd();
    (void)set_receive_timeout(connected->get(), limit);
    return std::move(*connected);
  }

  // Takes every queued message of a channel.
  static int drain(SignalReceiver& receiver) {
    int count = 0;
    while (receiver.try_recv() == RecvStatus::Message) ++count;
    return count;
  }

  Config installed_config() {
    std::lock_guard lock(state_->mutex);
    return state_->config;
  }
  std::vector<ServerStatus> installed_status() {
    std::lock_guard lock(state_->mutex);
    return state_->status;
  }

  test::ScratchDir folder_;
  std::string config_file_;
  SharedDaemonState state_ = std::make_shared<DaemonState>();
  std::pair<SignalSender, SignalReceiver> recheck_channel_ = make_channel<Signal>();
  std::pair<SignalSender, SignalReceiver> update_channel_ = make_channel<Signal>();
  SignalSender& recheck_ = recheck_channel_.first;
  SignalReceiver& rechecks_ = recheck_channel_.second;
  SignalSender& update_ = update_channel_.first;
  SignalReceiver& updates_ = update_channel_.second;
  Fd listener_;
  SocketAddress address_;
};

TEST_F(ControlConnection, EachRequestGetsItsReplyAndItsMessage) {
  struct Case {
    std::string line;
    std::string reply;
    int rechecks;
    int updates;
  };
  const std::vector<Case> cases = {
      {"\"Ping\"\n", "{\"Pong\":{\"version\":\"0.3.0\"}}\n", 0, 0},
      {"{\"Ping\":null}\r\n", "{\"Pong\":{\"version\":\"0.3.0\"}}\n", 0, 0},
      {"\"GetConfig\"\n",
       "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"192.168."
       "1.10\","
       "\"vpn\":[],\"port\":22,\"aliases\":[]},{\"name\":\"pi\",\"home_ip\":\"192.168.1.20\","
       "\"vpn\":[],"
       "\"port\":22,\"aliases\":[]}]}}\n",
       0, 0},
      {"\"Status\"\n",
       "{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.home.arpa\",\"ip\":\"192.168.1.10\","
       "\"route\":\"Home\"},"
       "{\"name\":\"pi\",\"fqdn\":\"pi.home.arpa\",\"ip\":\"10.8.0.3\",\"route\":{\"Vpn\":\"wg\"}}]"
       "}\n",
       0, 0},
      {"\"Recheck\"\n", "\"Ok\"\n", 1, 0},
      {"{\"Recheck\":null}\n", "\"Ok\"\n", 1, 0},
      {"\"Update\"\n", "\"Ok\"\n", 0, 1},
      {"{\"Update\":null}", "\"Ok\"\n", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(exchange(c.line), c.reply);
    EXPECT_EQ(drain(rechecks_), c.rechecks);
    EXPECT_EQ(drain(updates_), c.updates);
  }
  EXPECT_FALSE(std::filesystem::exists(config_file_));
}

TEST_F(ControlConnection, LinesThatCannotBeReadOrParsedGetNoReply) {
  const std::vector<std::string> cases = {
      "",
      "\n",
      "\"ping\"\n",
      "{\"SetConfig\":null}\n",
      "\"Ping\" \"Ping\"\n",
      "\"Pi\xFFng\"\n",
      "\"Ping\"\xC3\n",
      "{\"SetConfig\":{\"domain\":\"l\xFF\",\"servers\":[]}}\n",
  };
  for (const std::string& line : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(exchange(line), "");
  }
  EXPECT_EQ(drain(rechecks_), 0);
  EXPECT_EQ(installed_config(), two_servers());
}

TEST_F(ControlConnection, RequestWithoutLineFeedIsAnsweredAtEndOfStream) {
  EXPECT_EQ(exchange("\"Ping\""), "{\"Pong\":{\"version\":\"0.3.0\"}}\n");
}

TEST_F(ControlConnection, UpdateIsOkWhenTheSchedulerIsGone) {
  auto [sender, receiver] = make_channel<Signal>();
  { SignalReceiver gone = std::move(receiver); }
  update_ = sender;
  ASSERT_FALSE(update_.send(Signal{}));
  EXPECT_EQ(exchange("\"Update\"\n"), "\"Ok\"\n");
}

TEST_F(ControlConnection, SetConfigNormalisesSavesInstallsAndCarriesStatusOver) {
  Config wanted{.domain = " Home.ARPA. ",
                .servers = {Server{.name = "pi", .home_ip = " 192.168.1.20 "},
                            Server{.name = "box", .home_ip = "192.168.1.30", .web_port = 8080}}};
  EXPECT_EQ(exchange(set_config_line(wanted)), "\"Ok\"\n");

  Config normalised = wanted;
  normalised.domain = "home.arpa";
  EXPECT_EQ(installed_config(), normalised);
  EXPECT_EQ(read_file(config_file_), write_config_indented(normalised));
  EXPECT_EQ(drain(rechecks_), 1);
  // pi keeps what the last cycle found; box is new; nas is gone.
  const std::vector<ServerStatus> expected = {
      {"pi", "pi.home.arpa", "10.8.0.3", Route::vpn("wg")},
      {"box", "box.home.arpa", std::nullopt, Route::unknown()},
  };
  EXPECT_EQ(installed_status(), expected);
  EXPECT_EQ(exchange("\"Status\"\n"),
            "{\"Status\":[{\"name\":\"pi\",\"fqdn\":\"pi.home.arpa\",\"ip\":\"10.8.0.3\",\"route\":"
            "{\"Vpn\":\"wg\"}},"
            "{\"name\":\"box\",\"fqdn\":\"box.home.arpa\",\"ip\":null,\"route\":\"Unknown\"}]}\n");
}

TEST_F(ControlConnection, RefusedSetConfigChangesNothing) {
  std::ofstream(config_file_) << "as it was";
  const std::vector<ServerStatus> status_before = installed_status();
  Config bad = two_servers();
  bad.servers[1].name = "nas";
  EXPECT_EQ(exchange(set_config_line(bad)),
            "{\"Error\":\"Nama \\\"nas\\\" dipakai lebih dari sekali.\"}\n");
  bad = two_servers();
  bad.domain = "example.com";
  EXPECT_EQ(
      exchange(set_config_line(bad)),
      "{\"Error\":\"\\\".com\\\" adalah domain internet sungguhan, bisa bentrok dengan situs asli. "
      "Pakai home.arpa, internal, atau lan.\"}\n");
  EXPECT_EQ(read_file(config_file_), "as it was");
  EXPECT_EQ(installed_config(), two_servers());
  EXPECT_EQ(installed_status(), status_before);
  EXPECT_EQ(drain(rechecks_), 0);
}

TEST_F(ControlConnection, UnwritableConfigurationFileChangesNothing) {
  // The path names a folder: the file cannot be written.
  std::filesystem::create_directory(config_file_);
  Config wanted{.domain = "lan"};
  const std::string reply = exchange(set_config_line(wanted));
  EXPECT_TRUE(reply.starts_with("{\"Error\":\"Gagal menyimpan config: ")) << reply;
  EXPECT_TRUE(reply.ends_with(")\"}\n")) << reply;
  EXPECT_EQ(installed_config(), two_servers());
  EXPECT_EQ(drain(rechecks_), 0);
}

TEST_F(ControlConnection, OnlyTheFirstLineIsAnswered) {
  EXPECT_EQ(exchange("\"Recheck\"\n\"Update\"\n\"Update\"\n"), "\"Ok\"\n");
  EXPECT_EQ(drain(rechecks_), 1);
  EXPECT_EQ(drain(updates_), 0);
}

TEST_F(ControlConnection, PingIsAnsweredWhileTheStateIsLocked) {
  std::unique_lock held(state_->mutex);
  EXPECT_EQ(exchange("\"Ping\"\n"), "{\"Pong\":{\"version\":\"0.3.0\"}}\n");
}

TEST_F(ControlConnection, ConcurrentSetConfigsLeaveFileAndStateAlike) {
  constexpr int REQUESTS = 16;
  constexpr int ROUNDS = 8;
  for (int round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE(round);
    std::latch start(REQUESTS);
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < REQUESTS; ++i) {
      clients.emplace_back([&, i] {
        Config config{.domain = "lan"};
        for (int k = 0; k <= i; ++k) {
          config.servers.push_back(Server{.name = fmt::format("s{}-{}-{}", round, i, k),
                                          .home_ip = fmt::format("192.168.1.{}", k + 1)});
        }
        start.arrive_and_wait();
        LongTurn turn{LongTurns()};
        auto reply = perform_request(request::SetConfig{config}, recheck_, update_, *state_, turn);
        if (reply == Response{response::Ok{}}) ++ok;
      });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(ok, REQUESTS);
    auto from_file = parse_config(read_file(config_file_));
    ASSERT_TRUE(from_file) << from_file.error();
    const Config installed = installed_config();
    EXPECT_EQ(*from_file, installed);
    EXPECT_EQ(installed_status(), initial_status(installed));
    EXPECT_EQ(drain(rechecks_), REQUESTS);
  }
}

TEST(CarryOverStatus, KeepsEntriesWhoseFqdnIsUnchanged) {
  const std::vector<ServerStatus> old_status = {
      {"nas", "nas.home.arpa", "192.168.1.10", Route::home()},
      {"pi", "pi.home.arpa", std::nullopt, Route::unreachable()},
      {"nas", "nas.home.arpa", "10.0.0.9", Route::vpn("second")},
  };
  struct Case {
    std::string what;
    Config config;
    std::vector<ServerStatus> expected;
  };
  const std::vector<Case> cases = {
      {"same servers, reordered, one new",
       {"home.arpa",
        {{.name = "new", .home_ip = "1.1.1.1"},
         {.name = "pi", .home_ip = "1.1.1.2"},
         {.name = "nas", .home_ip = "1.1.1.3"}}},
       {{"new", "new.home.arpa", std::nullopt, Route::unknown()},
        {"pi", "pi.home.arpa", std::nullopt, Route::unreachable()},
        {"nas", "nas.home.arpa", "192.168.1.10", Route::home()}}},
      {"the domain's case differs: nothing matches",
       {"Home.Arpa", {{.name = "nas", .home_ip = "1.1.1.3"}}},
       {{"nas", "nas.Home.Arpa", std::nullopt, Route::unknown()}}},
      {"a blank makes another fqdn",
       {"home.arpa", {{.name = " nas", .home_ip = "1.1.1.3"}}},
       {{" nas", " nas.home.arpa", std::nullopt, Route::unknown()}}},
      {"no servers", {"home.arpa", {}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(carry_over_status(old_status, c.config), c.expected);
  }
}

// A connection whose peer sends `bytes` and ends its sending side.
class RequestLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ours_.reset(pair[0]);
    peer_.reset(pair[1]);
  }
  Result<std::string> read_after(std::string bytes, bool end_sending = true,
                                 LongTurns limits = LongTurns()) {
    std::thread sender([this, bytes = std::move(bytes), end_sending] {
      (void)send_all(peer_.get(), bytes);
      if (end_sending) shutdown_write(peer_.get());
    });
    LongTurn turn{std::move(limits)};
    auto line = read_request_line(ours_.get(), turn);
    ours_.reset();  // releases a sender blocked on a full buffer
    sender.join();
    return line;
  }
  Fd ours_;
  Fd peer_;
};

TEST_F(RequestLine, EndsAtTheFirstLineFeedOrAtTheEndOfStream) {
  struct Case {
    std::string bytes;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"\"Ping\"\n", "\"Ping\"\n"},
      {"\"Ping\"", "\"Ping\""},
      {"\n", "\n"},
      {"a\nb\nc\n", "a\n"},
      {"\xC3\xA9\n\xFF", "\xC3\xA9\n"},
      {std::string(20'000, 'x') + "\nrest", std::string(20'000, 'x') + "\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    auto line = read_after(c.bytes);
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(*line, c.line);
  }
}

TEST_F(RequestLine, FailsWithoutBytesOrWithoutUtf8) {
  for (const std::string bytes : {"", "\xFF\n", "\"Ping\"\xC3", "\xED\xA0\x80\n"}) {
    SetUp();
    EXPECT_FALSE(read_after(bytes));
  }
}

TEST_F(RequestLine, HoldsAtMostOneMebibyte) {
  const std::string exact = std::string(MAX_REQUEST_LINE - 1, ' ') + "\n";
  auto line = read_after(exact);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, exact);

  SetUp();
  line = read_after(std::string(MAX_REQUEST_LINE + 10, 'y') + "\n", false);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, std::string(MAX_REQUEST_LINE, 'y'));

  // Cut inside a two-byte character: no longer UTF-8.
  SetUp();
  EXPECT_FALSE(read_after(std::string(MAX_REQUEST_LINE - 1, 'z') + "\xC3\xA9\n", false));
}

TEST_F(RequestLine, ItsBufferNeverHoldsMoreThanTheLongestLineAndOneReadBuffer) {
  constexpr std::size_t BOUND = MAX_REQUEST_LINE + IPC_READ_BUFFER_SIZE;
  struct Case {
    std::string bytes;
    std::string line;
  };
  const std::vector<Case> cases = {
      {std::string(MAX_REQUEST_LINE + 100'000, 'y'), std::string(MAX_REQUEST_LINE, 'y')},
      {std::string(MAX_REQUEST_LINE - 1, ' ') + "\n",
       std::string(MAX_REQUEST_LINE - 1, ' ') + "\n"},
      {std::string(600'000, 'x') + "\nrest", std::string(600'000, 'x') + "\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    auto line = read_after(c.bytes, false);
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(*line, c.line);
    EXPECT_LE(line->capacity(), BOUND);
  }

  // A first piece of odd size, as a busy connection delivers it, is where
  // plain doubling overshoots: 5000 bytes doubled past the limit is 1.6 MiB.
  SetUp();
  std::thread sender([this] {
    (void)send_all(peer_.get(), std::string(5000, 'z'));
    std::this_thread::sleep_for(50ms);
    (void)send_all(peer_.get(), std::string(MAX_REQUEST_LINE, 'z'));
  });
  LongTurn turn{LongTurns()};
  auto line = read_request_line(ours_.get(), turn);
  ours_.reset();
  sender.join();
  ASSERT_TRUE(line) << line.error();
  EXPECT_EQ(*line, std::string(MAX_REQUEST_LINE, 'z'));
  EXPECT_LE(line->capacity(), BOUND);
}

TEST_F(RequestLine, ASilentPeerRunsIntoTheReceiveLimit) {
  const auto start = std::chrono::steady_clock::now();
  // Some bytes, then silence: the partial line is dropped.
  auto line = read_after("\"Pi", false);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(line);
  EXPECT_GE(took, IPC_READ_TIMEOUT - 50ms);
  EXPECT_LT(took, LINE_READ_LIMIT);
}

// A byte well within every receive limit, for ever: the line is dropped when
// the line limit runs out, long or short. A long line's limit counts from its
// turn.
TEST_F(RequestLine, ATricklingPeerRunsIntoTheLineLimit) {
  const LongTurns limits{.line_limit = 1s, .read_limit = 2s};
  for (const std::string& opening : {std::string("\"Pi"), std::string(LONG_REQUEST_LINE, ' ')}) {
    SCOPED_TRACE(opening.size());
    SetUp();
    std::thread sender([this, bytes = opening]() mutable {
      while (send_all(peer_.get(), bytes)) {
        std::this_thread::sleep_for(100ms);
        bytes = " ";
      }
    });
    LongTurn turn{limits};
    const auto start = std::chrono::steady_clock::now();
    auto line = read_request_line(ours_.get(), turn);
    const auto took = std::chrono::steady_clock::now() - start;
    ours_.reset();  // ends the sender
    sender.join();
    EXPECT_FALSE(line);
    // The long one takes its turn with its second piece.
    const auto limit = opening.size() >= LONG_REQUEST_LINE ? limits.read_limit : limits.line_limit;
    EXPECT_GE(took, limit - 50ms);
    EXPECT_LT(took, limit + 2s);
  }
}

// The accept loop itself, with connections served by detached threads.
TEST_F(ControlConnection, AcceptLoopServesManyConnectionsAtOnce) {
  serve_forever();

  constexpr int CLIENTS = 32;
  // A silent connection does not hold up the others.
  auto silent = connect_with_timeout(address_, 2s);
  ASSERT_TRUE(silent);
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < CLIENTS; ++i) {
    clients.emplace_back([&] {
      auto client = connect_with_timeout(address_, 2s);
      if (!client || !send_all(client->get(), "\"Status\"\n")) return;
      if (read_until_closed(client->get()).starts_with("{\"Status\":[{\"name\":\"nas\""))
        ++answered;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered, CLIENTS);
}

const std::string PONG = "{\"Pong\":{\"version\":\"0.3.0\"}}\n";

// Polls `condition` until it holds or `limit` has passed.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Whether the daemon still holds `connection` open and has sent nothing.
bool still_open(const Fd& connection) {
  char byte;
  return ::recv(connection.get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// Clients that hold their connections with short lines cost a thread each
// and nothing else: none is dropped to make room, and a fresh request is
// answered at once.
TEST_F(ControlConnection, HeldConnectionsLeaveShortRequestsServed) {
  serve_forever();
  constexpr int HELD = 200;
  std::vector<Fd> held;
  for (int i = 0; i < HELD; ++i) {
    held.push_back(client());
    ASSERT_TRUE(send_all(held.back().get(), " "));
  }
  Fd fresh = client();
  ASSERT_TRUE(send_all(fresh.get(), "\"Status\"\n"));
  EXPECT_TRUE(read_until_closed(fresh.get()).starts_with("{\"Status\":[{\"name\":\"nas\""));
  int open = 0;
  for (const Fd& h : held) open += still_open(h) ? 1 : 0;
  EXPECT_EQ(open, HELD);
}

// One long slot, and short limits so that the test sees them run out.
LongTurns one_turn() {
  return LongTurns{.slots = ThreadSlots(1), .wait = 500ms, .read_limit = 2s, .write_limit = 1s};
}

TEST_F(ControlConnection, LongLinesTakeTurnsAndKeepToTheirLimit) {
  serve_forever(one_turn());
  const std::string ping_start = "\"Ping\"" + std::string(LONG_REQUEST_LINE + 4'000, ' ');
  // Two long lines at once: one holds the slot, the other finds none within
  // the wait and is closed without a reply.
  Fd first = client(), second = client();
  ASSERT_TRUE(send_all(first.get(), ping_start));
  ASSERT_TRUE(send_all(second.get(), ping_start));
  // A short request needs no slot.
  Fd fresh = client();
  ASSERT_TRUE(send_all(fresh.get(), "\"Ping\"\n"));
  EXPECT_EQ(read_until_closed(fresh.get()), PONG);
  ASSERT_TRUE(eventually([&] { return !still_open(first) || !still_open(second); }, 5s));
  Fd& holder = still_open(first) ? first : second;
  Fd& dropped = still_open(first) ? second : first;
  EXPECT_EQ(read_until_closed(dropped.get()), "");
  ASSERT_TRUE(send_all(holder.get(), "\n"));
  EXPECT_EQ(read_until_closed(holder.get()), PONG);

  // A long line that is still not complete when the read limit runs out is
  // dropped, however regularly its bytes come; its slot serves the next.
  Fd slow = client();
  ASSERT_TRUE(send_all(slow.get(), ping_start));
  for (int i = 0; i < 20 && still_open(slow); ++i) {
    std::this_thread::sleep_for(500ms);
    (void)::send(slow.get(), " ", 1, MSG_NOSIGNAL);
  }
  EXPECT_FALSE(still_open(slow)) << "a long line went on past the read limit";
  EXPECT_EQ(read_until_closed(slow.get()), "");
  Fd next = client();
  ASSERT_TRUE(send_all(next.get(), ping_start + "\n"));
  EXPECT_EQ(read_until_closed(next.get()), PONG);
}

// A reply of up to LONG_REQUEST_LINE bytes needs no turn: with every turn
// held, a GetConfig of some two hundred plain servers, just under it, is
// answered whole (one that waited would be closed after the wait with
// nothing), and a Status of the same servers as well.
TEST_F(ControlConnection, RepliesJustUnderTheLongLineNeedNoTurn) {
  {
    std::lock_guard lock(state_->mutex);
    state_->config.servers.clear();
    while (config_reply_size(state_->config) <= LONG_REQUEST_LINE - 60) {
      state_->config.servers.push_back(Server{
          .name = fmt::format("s{}", state_->config.servers.size()), .home_ip = "192.168.1.10"});
    }
    state_->status = initial_status(state_->config);
  }
  const std::string config_reply = encode_response(response::Config{installed_config()});
  const std::string status_reply = encode_response(response::Status{installed_status()});
  ASSERT_GT(config_reply.size(), LONG_REQUEST_LINE - 60);
  ASSERT_LE(config_reply.size(), LONG_REQUEST_LINE);
  ASSERT_LE(status_reply.size(), LONG_REQUEST_LINE);

  LongTurns turns = one_turn();
  const std::optional<ThreadSlots::Slot> every_turn = turns.slots.take_for(0ms);
  ASSERT_TRUE(every_turn);
  serve_forever(turns);
  for (const auto& [request, reply] :
       {std::pair{"\"GetConfig\"\n", config_reply}, std::pair{"\"Status\"\n", status_reply}}) {
    SCOPED_TRACE(request);
    Fd asking = client();
    ASSERT_TRUE(send_all(asking.get(), request));
    EXPECT_EQ(read_until_closed(asking.get()), reply);
  }
}

TEST_F(ControlConnection, LongRepliesTakeTurnsAndKeepToTheWriteLimit) {
  // A Status reply of about 2 MiB, far more than the sockets hold.
  {
    std::lock_guard lock(state_->mutex);
    state_->config.servers.clear();
    for (int i = 0; i < 10'000; ++i) {
      state_->config.servers.push_back(Server{
          .name = fmt::format("{}-{}", i, std::string(180, 'n')), .home_ip = "192.168.1.10"});
    }
    state_->status = initial_status(state_->config);
  }
  const std::string whole = encode_response(response::Status{installed_status()});
  ASSERT_GT(whole.size(), 2'000'000u);
  serve_forever(one_turn());

  // Two clients that do not read: one is written to until the write limit
  // runs out, the other finds no slot within the wait. Neither gets it all.
  const auto not_reading = [&] {
    Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const SockaddrBuffer target = to_sockaddr(address_);
    EXPECT_EQ(::connect(socket.get(), target.get(), target.length), 0);
    EXPECT_TRUE(send_all(socket.get(), "\"Status\"\n"));
    (void)set_receive_timeout(socket.get(), 10s);
    return socket;
  };
  Fd first = not_reading(), second = not_reading();
  Fd fresh = client();
  ASSERT_TRUE(send_all(fresh.get(), "\"Ping\"\n"));
  EXPECT_EQ(read_until_closed(fresh.get()), PONG);
  // Well past the wait and the write limit.
  std::this_thread::sleep_for(4s);
  std::vector<std::string> replies = {read_until_closed(first.get()),
                                      read_until_closed(second.get())};
  std::sort(replies.begin(), replies.end(),
            [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  EXPECT_EQ(replies[0], "");
  EXPECT_LT(replies[1].size(), whole.size());
  EXPECT_TRUE(whole.starts_with(replies[1]));

  // A client that reads gets the whole reply.
  Fd reading = client();
  ASSERT_TRUE(send_all(reading.get(), "\"Status\"\n"));
  EXPECT_EQ(read_until_closed(reading.get()), whole);
}

// Connections whose thread the system refuses are closed at once, and the
// accept loop goes on serving. The cap counts every thread of the process, and
// one that ends while it holds (an earlier test's connection, say) would make
// room for a connection thread: this runs in a process of its own, where the
// accept loop's are the only threads besides the test's.
TEST_F(ControlConnection, RefusedConnectionThreadsAreClosedAndTheLoopGoesOn) {
  if (auto cap = test::ThreadCap::create(); !cap) {
    GTEST_SKIP() << "no thread cap here: " << cap.error();
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto refused_connections_are_closed = [this]() -> int {
    auto cap = test::ThreadCap::create();
    if (!cap) return 2;
    // A sanitizer may start a thread of its own with the first one started:
    // counted before the baseline, it cannot end later and make room.
    std::thread([] {}).join();
    const long threads = test::running_threads();
    serve_forever();
    // Served once, so the accept loop runs and its connection thread is gone.
    Fd first = client();
    if (!send_all(first.get(), "\"Ping\"\n") || read_until_closed(first.get()) != PONG) return 3;
    if (!test::wait_for_threads_to_end(threads + 2)) return 4;

    cap->enter_allowing(0);
    for (int i = 0; i < 128; ++i) {
      Fd refused = client(5s);
      char byte;
      if (::recv(refused.get(), &byte, 1, 0) != 0) {
        cap->leave();
        std::fprintf(stderr, "connection %d was not closed at once\n", i);
        return 5;
      }
    }
    cap->leave();
    Fd last = client();
    if (!send_all(last.get(), "\"Ping\"\n") || read_until_closed(last.get()) != PONG) return 6;
    return 0;
  };
  EXPECT_EXIT(std::_Exit(refused_connections_are_closed()), ::testing::ExitedWithCode(0), "");
}

#if !defined(__SANITIZE_ADDRESS__)
// Runs in a child process: with no address space left for another thread's
// stack, the connection is handed to a thread that cannot start.
[[noreturn]] void start_a_refused_connection_thread() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::_Exit(2);
  Fd peer(pair[1]);
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  statm >> pages;
  const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{now + (1 << 20), RLIM_INFINITY};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
  auto [recheck, rechecks] = make_channel<Signal>();
  auto [update, updates] = make_channel<Signal>();
  if (start_ipc_connection_thread(Fd(pair[0]), recheck, update, std::make_shared<DaemonState>(),
                                  LongTurns())) {
    std::_Exit(4);
  }
  // The connection was closed: the peer reads the end of the stream.
  char byte;
  std::_Exit(::recv(peer.get(), &byte, 1, 0) == 0 ? 0 : 5);
}

TEST(ConnectionThread, ARefusedThreadClosesItsConnectionAndTheDaemonGoesOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start_a_refused_connection_thread(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace tavi
