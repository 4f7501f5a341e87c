#include "apply.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "control.hpp"
#include "no_free_descriptors.hpp"
#include "scratch.hpp"
#include "stream.hpp"
#include "thread_cap.hpp"

#include "tavi/socket.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;

using test::read_file;
using test::write_file;

// A server simulated on 127.0.0.1: every connection gets the banner, then
// end of stream. Stopping it closes the port, so probes are refused at once.
class BannerServer {
 public:
  explicit BannerServer(std::string banner) : banner_(std::move(banner)) { start(0); }
  ~BannerServer() { stop(); }
  BannerServer(const BannerServer&) = delete;
  BannerServer& operator=(const BannerServer&) = delete;

  std::uint16_t port() const { return port_; }

  void stop() {
    if (!listener_) return;
    ::shutdown(listener_.get(), SHUT_RDWR);  // ends the blocked accept
    thread_.join();
    listener_.reset();
  }

  // Listens again on the same port.
  void restart() {
    stop();
    start(port_);
  }

 private:
  void start(std::uint16_t port) {
    auto bound = bind_listener(SocketAddress{Ipv4Address{{127, 0, 0, 1}}, port});
    ASSERT_TRUE(bound) << bound.error().text();
    listener_ = std::move(*bound);
    port_ = local_address(listener_.get())->port;
    thread_ = std::thread([this, fd = listener_.get()] {
      for (;;) {
        auto client = accept_connection(fd);
        if (!client) return;
        send_all(client->get(), banner_);
      }
    });
  }

  std::string banner_;
  Fd listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// Everything a connection to `address` receives before end of stream; nullopt
// when the connection itself fails.
std::optional<std::string> receive_all(const SocketAddress& address) {
  auto client = connect_with_timeout(address, 2s);
  if (!client) return std::nullopt;
  set_receive_timeout(client->get(), 5s);
  return test::read_until_closed(client->get());
}

SocketAddress at(std::string_view ip, std::uint16_t port) {
  return SocketAddress{*parse_ip_address(ip), port, 0};
}

// A scratch hosts file and stand-in programs that log their arguments. Each
// test gives its own pool base, so parallel tests never share a listen address.
class ApplyCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    hosts_ = dir_ + "/hosts";
    write_file(hosts_, "127.0.0.1\tlocalhost\n");
    ::setenv("TAVI_HOSTS_FILE", hosts_.c_str(), 1);
    layout_.ifconfig = fake_program("ifconfig");
    layout_.dscacheutil = fake_program("dscacheutil");
    layout_.killall = fake_program("killall");
    state_.config.domain = "lan";
  }

  void TearDown() override {
    // Stops every forward listener this test started.
    set_config(Config{"lan", {}});
    cycle();
  }

  std::string fake_program(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    test::write_recording_program(path, name, dir_ + "/calls");
    return path;
  }

  void use_pool(const char* base) { ::setenv("TAVI_LOOPBACK", base, 1); }

  void set_config(Config config) {
    std::lock_guard lock(state_.mutex);
    state_.config = std::move(config);
  }

  void cycle() { apply_cycle(state_, table_, listeners_, layout_); }

  std::vector<ServerStatus> status() {
    std::lock_guard lock(state_.mutex);
    return state_.status;
  }

  // The lines between the managed block's first and last line.
  std::string block() {
    const std::string text = read_file(hosts_);
    const auto begin = text.find("# BEGIN tavi");
    if (begin == std::string::npos) return "";
    const auto first = text.find('\n', begin) + 1;
    return text.substr(first, text.find("# END tavi") - first);
  }

  std::string calls() { return read_file(dir_ + "/calls"); }
  int flushes() {
    const std::string log = calls();
    int n = 0;
    for (auto at = log.find("dscacheutil -flushcache"); at != std::string::npos;
         at = log.find("dscacheutil -flushcache", at + 1)) {
      ++n;
    }
    return n;
  }

  // The listen addresses with a running listener, by port.
  std::vector<std::string> listening() {
    std::vector<SocketAddress> keys;
    for (const auto& [key, flag] : listeners_) keys.push_back(key);
    std::sort(keys.begin(), keys.end(),
              [](const auto& a, const auto& b) { return a.port < b.port; });
    std::vector<std::string> texts;
    for (const auto& key : keys) texts.push_back(format_socket_address(key));
    return texts;
  }

  test::ScratchDir scratch_;
  std::string dir_;
  std::string hosts_;
  Layout layout_;
  DaemonState state_;
  std::shared_ptr<ForwardTable> table_ = std::make_shared<ForwardTable>();
  ListenerMap listeners_;
};

Server server(std::string name, std::uint16_t port, std::optional<std::uint16_t> web_port = {}) {
  return Server{
      .name = std::move(name), .home_ip = "127.0.0.1", .port = port, .web_port = web_port};
}

TEST_F(ApplyCycleTest, ForwardedServersGetTheirOwnAddressOthersTheAnsweringOne) {
  use_pool("127.93.1.2");
  BannerServer web("web page"), ssh("ssh banner"), plain("plain");
  Server nas = server("nas", ssh.port(), web.port());
  nas.aliases = {"files"};
  nas.extra_ports = {ssh.port(), 0};
  set_config(Config{"lan", {nas, server("printer", plain.port())}});
  cycle();

  EXPECT_EQ(block(), "127.93.1.2\tnas.lan files.lan\n127.0.0.1\tprinter.lan\n");
  EXPECT_EQ(status(),
            (std::vector<ServerStatus>{{"nas", "nas.lan", "127.0.0.1", Route::home()},
                                       {"printer", "printer.lan", "127.0.0.1", Route::home()}}));
  // 80 to the web port, then the web port and the probe port to themselves.
  const std::uint16_t ports[] = {80, web.port(), ssh.port()};
  const std::uint16_t targets[] = {web.port(), web.port(), ssh.port()};
  EXPECT_EQ(listeners_.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const SocketAddress listen = at("127.93.1.2", ports[i]);
    EXPECT_TRUE(listeners_.contains(listen)) << ports[i];
    EXPECT_EQ(table_->lookup(listen), at("127.0.0.1", targets[i]));
  }
  EXPECT_EQ(receive_all(at("127.93.1.2", 80)), "web page");
  EXPECT_EQ(receive_all(at("127.93.1.2", ssh.port())), "ssh banner");
  EXPECT_EQ(flushes(), 1);
  EXPECT_EQ(calls().find("ifconfig"), std::string::npos)
      << "127.0.0.0/8 binds without an alias here";

  // A second pass with nothing changed restarts nothing and flushes nothing.
  const auto flag = listeners_.at(at("127.93.1.2", 80));
  cycle();
  EXPECT_EQ(listeners_.at(at("127.93.1.2", 80)), flag);
  EXPECT_EQ(flushes(), 1);
}

TEST_F(ApplyCycleTest, AnIpv6AnswerBecomesTheForwardTargetAndTheStatusAddress) {
  use_pool("127.93.11.2");
  auto v6 = bind_listener(at("::1", 0));
  if (!v6) GTEST_SKIP() << "no ::1 on this machine";
  const std::uint16_t port = local_address(v6->get())->port;
  Server nas = server("nas", port, port);
  nas.home_ip = " 0:0:0:0:0:0:0:1 ";  // trimmed, written in its compressed form
  set_config(Config{"lan", {nas}});
  cycle();
  EXPECT_EQ(status()[0].ip, "::1");
  EXPECT_EQ(table_->lookup(at("127.93.11.2", 80)), at("::1", port));
  EXPECT_EQ(block(), "127.93.11.2\tnas.lan\n");
}

TEST_F(ApplyCycleTest, AnUnreachableForwardedServerKeepsItsAddressAndListeners) {
  use_pool("127.93.2.2");
  BannerServer first_web("first"), second_web("second");
  Server first = server("first", first_web.port(), first_web.port());
  Server second = server("second", second_web.port(), second_web.port());
  set_config(Config{"lan", {first, second}});
  first_web.stop();
  cycle();

  // The first still takes the first pool address, with listeners but no targets.
  EXPECT_EQ(block(), "127.93.2.2\tfirst.lan\n127.93.2.3\tsecond.lan\n");
  EXPECT_EQ(status()[0], (ServerStatus{"first", "first.lan", std::nullopt, Route::unreachable()}));
  EXPECT_TRUE(listeners_.contains(at("127.93.2.2", 80)));
  EXPECT_EQ(table_->lookup(at("127.93.2.2", 80)), std::nullopt);
  EXPECT_EQ(receive_all(at("127.93.2.2", 80)), "") << "accepted and closed without a byte";
  EXPECT_EQ(receive_all(at("127.93.2.3", 80)), "second");
  const std::string hosts_before = read_file(hosts_);
  const int flushes_before = flushes();

  // Back again: the same listeners get their targets, the hosts file stays.
  first_web.restart();
  cycle();
  EXPECT_EQ(status()[0].route, Route::home());
  EXPECT_EQ(receive_all(at("127.93.2.2", 80)), "first");
  EXPECT_EQ(read_file(hosts_), hosts_before);
  EXPECT_EQ(flushes(), flushes_before);
}

TEST_F(ApplyCycleTest, APlainServerThatStopsAnsweringLosesItsEntry) {
  use_pool("127.93.3.2");
  BannerServer plain("plain");
  set_config(Config{"lan", {server("nas", plain.port())}});
  cycle();
  EXPECT_EQ(block(), "127.0.0.1\tnas.lan\n");
  EXPECT_EQ(flushes(), 1);

  plain.stop();
  cycle();
  EXPECT_EQ(read_file(hosts_), "127.0.0.1\tlocalhost\n") << "the empty block goes away";
  EXPECT_EQ(status()[0], (ServerStatus{"nas", "nas.lan", std::nullopt, Route::unreachable()}));
  EXPECT_EQ(flushes(), 2);
}

TEST_F(ApplyCycleTest, RemovingTheWebPortStopsItsListenersAndFreesThePorts) {
  use_pool("127.93.4.2");
  BannerServer web("web");
  set_config(Config{"lan", {server("nas", web.port(), web.port())}});
  cycle();
  ASSERT_EQ(listeners_.size(), 2u);

  set_config(Config{"lan", {server("nas", web.port())}});
  cycle();
  EXPECT_TRUE(listeners_.empty());
  EXPECT_EQ(block(), "127.0.0.1\tnas.lan\n");
  EXPECT_EQ(table_->lookup(at("127.93.4.2", 80)), std::nullopt);
  // The woken listeners close their sockets; the ports can be bound again.
  for (std::uint16_t port : {std::uint16_t{80}, web.port()}) {
    OsResult<Fd> rebound = std::unexpected(OsError{});
    for (int i = 0; i < 100 && !rebound; ++i) {
      rebound = bind_listener(at("127.93.4.2", port));
      if (!rebound) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(rebound) << port;
  }
}

TEST_F(ApplyCycleTest, AnEmptyConfigurationStopsEverythingAndRemovesTheBlock) {
  use_pool("127.93.5.2");
  BannerServer web("web");
  set_config(Config{"lan", {server("nas", web.port(), web.port())}});
  cycle();
  ASSERT_FALSE(listeners_.empty());

  set_config(Config{"lan", {}});
  cycle();
  EXPECT_TRUE(listeners_.empty());
  EXPECT_EQ(read_file(hosts_), "127.0.0.1\tlocalhost\n");
  EXPECT_TRUE(status().empty());
}

TEST_F(ApplyCycleTest, WhenThePoolRunsOutServersArePublishedOnTheirAnsweringAddress) {
  use_pool("127.93.6.254");  // one address
  BannerServer a("a"), b("b"), c("c");
  Server gone = server("gone", c.port(), c.port());
  set_config(
      Config{"lan", {server("a", a.port(), a.port()), server("b", b.port(), b.port()), gone}});
  c.stop();
  cycle();

  EXPECT_EQ(block(), "127.93.6.254\ta.lan\n127.0.0.1\tb.lan\n");
  EXPECT_EQ(listening(), (std::vector<std::string>{"127.93.6.254:80",
                                                   "127.93.6.254:" + std::to_string(a.port())}));
  EXPECT_EQ(status()[1].ip, "127.0.0.1");
}

TEST_F(ApplyCycleTest, StatusesOfAPassAreDroppedWhenTheConfigurationChangedMeanwhile) {
  use_pool("127.93.7.2");
  // A full accept queue never answers: the home probe runs into its time limit.
  auto slow = bind_listener(at("127.0.0.1", 0), 0);
  ASSERT_TRUE(slow);
  const SocketAddress slow_address = *local_address(slow->get());
  std::vector<Fd> waiting;
  for (int i = 0; i < 4; ++i) {
    if (auto c = connect_with_timeout(slow_address, 200ms)) waiting.push_back(std::move(*c));
  }
  const Config old_config{"lan", {server("slow", slow_address.port)}};
  const Config new_config{"lan", {server("other", slow_address.port)}};
  set_config(old_config);
  state_.status = initial_status(old_config);

  std::thread replace([&] {
    std::this_thread::sleep_for(150ms);
    std::lock_guard lock(state_.mutex);
    state_.config = new_config;
    state_.status = initial_status(new_config);
  });
  cycle();
  replace.join();
  EXPECT_EQ(status(), initial_status(new_config));
}

TEST(CommitStatus, StoresOnlyWhileTheConfigurationEqualsTheSnapshot) {
  const Config snapshot{"lan", {server("nas", 22)}};
  const std::vector<ServerStatus> fresh = {{"nas", "nas.lan", "10.0.0.1", Route::home()}};
  auto vary = [&](auto change) {
    Config c = snapshot;
    change(c.servers[0]);
    return c;
  };
  const std::vector<Config> others = {
      Config{"LAN", snapshot.servers},
      Config{"lan", {}},
      vary([](Server& s) { s.home_ip = "127.0.0.2"; }),
      vary([](Server& s) {
        s.vpn = {{"office", "10.8.0.1"}};
      }),
      vary([](Server& s) { s.port = 23; }),
      vary([](Server& s) { s.aliases = {"x"}; }),
      vary([](Server& s) { s.web_port = 8080; }),
      vary([](Server& s) { s.extra_ports = {443}; }),
  };
  for (const Config& current : others) {
    DaemonState state;
    state.config = current;
    state.status = initial_status(current);
    EXPECT_FALSE(commit_status(state, snapshot, fresh));
    EXPECT_EQ(state.status, initial_status(current));
  }
  DaemonState state;
  state.config = snapshot;
  EXPECT_TRUE(commit_status(state, snapshot, fresh));
  EXPECT_EQ(state.status, fresh);
}

TEST_F(ApplyCycleTest, PublishedHostNamesHoldNoWhiteSpaceButStatusesKeepTheStoredText) {
  use_pool("127.93.8.2");
  BannerServer bank("bank");
  Server s = server("bank", bank.port());
  s.aliases = {"my files", "x\xC2\xA0y"};  // a space and a no-break space
  set_config(Config{"com\t.lan", {s}});
  cycle();
  EXPECT_EQ(block(), "127.0.0.1\tbank.com.lan myfiles.com.lan xy.com.lan\n");
  EXPECT_EQ(status()[0].fqdn, "bank.com\t.lan");
  std::lock_guard lock(state_.mutex);
  EXPECT_EQ(state_.config.domain, "com\t.lan");
}

TEST_F(ApplyCycleTest, AnAddressNotOnTheMachineRunsTheAliasCommandAndIsReportedEveryPass) {
  // Only binding is tried on this documentation address; nothing connects to it.
  use_pool("192.0.2.7");
  BannerServer web("web");
  set_config(Config{"lan", {server("nas", web.port(), web.port())}});
  for (int pass = 1; pass <= 2; ++pass) {
    testing::internal::CaptureStderr();
    cycle();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("tavi-helper: tidak bisa membuka 192.0.2.7:80: " +
                       os_error_text(EADDRNOTAVAIL) + "\n"),
              std::string::npos)
        << err;
  }
  EXPECT_TRUE(listeners_.empty());
  const std::string log = calls();
  EXPECT_NE(log.find("ifconfig lo0 alias 192.0.2.7 up\n"), std::string::npos) << log;
  // Two keys, two passes: each failed bind ran the alias command once.
  int aliases = 0;
  for (auto at = log.find("ifconfig"); at != std::string::npos; at = log.find("ifconfig", at + 1)) {
    ++aliases;
  }
  EXPECT_EQ(aliases, 4);
  // The names are still published on the pool address.
  EXPECT_EQ(block(), "192.0.2.7\tnas.lan\n");
}

TEST_F(ApplyCycleTest, AListenAddressTakenByAnotherProgramIsReportedAndTheRestBinds) {
  use_pool("127.93.9.2");
  BannerServer web("web");
  auto taken = bind_listener(at("127.93.9.2", 80));
  ASSERT_TRUE(taken);
  set_config(Config{"lan", {server("nas", web.port(), web.port())}});
  testing::internal::CaptureStderr();
  cycle();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "tavi-helper: tidak bisa membuka 127.93.9.2:80: " + os_error_text(EADDRINUSE) + "\n");
  EXPECT_EQ(listening(), std::vector<std::string>{"127.93.9.2:" + std::to_string(web.port())});

  // Freed: the next pass binds it.
  taken->reset();
  cycle();
  EXPECT_EQ(listeners_.size(), 2u);
  EXPECT_EQ(receive_all(at("127.93.9.2", 80)), "web");
}

TEST_F(ApplyCycleTest, AHostsFileThatCannotBeWrittenIsReportedAndStatusesAreStored) {
  use_pool("127.93.10.2");
  BannerServer plain("plain");
  const std::string folder = dir_ + "/missing/hosts";
  ::setenv("TAVI_HOSTS_FILE", folder.c_str(), 1);
  set_config(Config{"lan", {server("nas", plain.port())}});
  testing::internal::CaptureStderr();
  cycle();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("tavi-helper: gagal menulis hosts: ", 0), 0u) << err;
  EXPECT_EQ(status()[0].route, Route::home());
  EXPECT_EQ(flushes(), 0);
  ::setenv("TAVI_HOSTS_FILE", hosts_.c_str(), 1);
}

// A pass the system refuses every thread: each probe keeps its server's last
// route and address, and the listener that could not start is left for the
// next pass, its socket closed.
TEST_F(ApplyCycleTest, APassWithoutThreadsKeepsEachLastRouteAndLeavesListenersForTheNext) {
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  use_pool("127.93.12.2");
  BannerServer web("web"), plain("plain");
  auto taken = bind_listener(at("127.93.12.2", 80));
  ASSERT_TRUE(taken);
  set_config(Config{"lan", {server("nas", web.port(), web.port()), server("pi", plain.port())}});
  testing::internal::CaptureStderr();
  cycle();
  (void)testing::internal::GetCapturedStderr();  // port 80 was taken
  const std::vector<ServerStatus> known = status();
  ASSERT_EQ(known[1], (ServerStatus{"pi", "pi.lan", "127.0.0.1", Route::home()}));
  const std::string hosts_before = read_file(hosts_);

  // pi no longer answers and port 80 is free, but no thread can start.
  plain.stop();
  taken->reset();
  cap->enter_allowing(0);
  testing::internal::CaptureStderr();
  cycle();
  const std::string err = testing::internal::GetCapturedStderr();
  cap->leave();
  const std::string refused = os_error_text(EAGAIN);
  // One line for each kind of thread, however many were refused.
  EXPECT_EQ(err,
            "tavi-helper: tidak bisa memulai thread probe untuk nas dan 1 server lain: " + refused +
                "\ntavi-helper: tidak bisa memulai thread forward listener untuk "
                "127.93.12.2:80: " +
                refused + "\n");
  EXPECT_EQ(status(), known);
  EXPECT_EQ(read_file(hosts_), hosts_before);
  EXPECT_EQ(table_->lookup(at("127.93.12.2", web.port())), at("127.0.0.1", web.port()));
  EXPECT_EQ(listening(), std::vector<std::string>{"127.93.12.2:" + std::to_string(web.port())});
  EXPECT_TRUE(bind_listener(at("127.93.12.2", 80))) << "the refused listener kept its socket";

  // With threads again, the next pass probes anew and starts the listener.
  cycle();
  EXPECT_EQ(status()[1], (ServerStatus{"pi", "pi.lan", std::nullopt, Route::unreachable()}));
  EXPECT_EQ(receive_all(at("127.93.12.2", 80)), "web");
}

// Out of descriptors, no probe can open its socket. That is no answer from
// the servers: each keeps its last route, a forwarder its target, and one
// line says why. In a process of its own, as the limit holds for every thread;
// the first pass makes every first sanitizer check of a type (which uses a
// pipe) while descriptors are free.
TEST_F(ApplyCycleTest, APassWithoutDescriptorsKeepsEachLastRoute) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto pass_without_descriptors = [this]() -> int {
    const auto failed = [](const std::string& why) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    };
    use_pool("127.93.16.2");
    BannerServer web("web"), plain("plain");
    set_config(Config{"lan", {server("nas", web.port(), web.port()), server("pi", plain.port())}});
    cycle();
    const std::vector<ServerStatus> known = status();
    if (known[1] != ServerStatus{"pi", "pi.lan", "127.0.0.1", Route::home()}) {
      return failed("pi was not found at first");
    }
    const std::string hosts_before = read_file(hosts_);

    // Probed, pi would now be unreachable.
    plain.stop();
    testing::internal::CaptureStderr();
    {
      test::NoFreeDescriptors none;
      if (!none.holds()) return failed("the descriptors could not be used up");
      cycle();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string line =
        "tavi-helper: tidak bisa memprobe nas dan 1 server lain: " + os_error_text(EMFILE) + "\n";
    if (!err.starts_with(line)) return failed("logged: " + err);
    if (status() != known) return failed("a last route was lost");
    if (read_file(hosts_) != hosts_before) return failed("the hosts file changed");
    if (table_->lookup(at("127.93.16.2", 80)) != at("127.0.0.1", web.port())) {
      return failed("the forwarder lost its target");
    }

    // With descriptors again, the next pass probes anew.
    cycle();
    if (status()[1] != ServerStatus{"pi", "pi.lan", std::nullopt, Route::unreachable()}) {
      return failed("pi was not probed again");
    }
    if (receive_all(at("127.93.16.2", 80)) != "web") return failed("no forwarding to nas");
    return 0;
  };
  EXPECT_EXIT(std::_Exit(pass_without_descriptors()), ::testing::ExitedWithCode(0), "");
}

// After a SetConfig that keeps a name but changes its addresses, the carried
// status names an address no longer configured: with its probe refused, such
// a server is Unknown, published and forwarded nowhere. A server whose
// address is still configured keeps its route.
TEST_F(ApplyCycleTest, AProbeThatCannotStartKeepsTheLastRouteOnlyForAnAddressStillConfigured) {
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  use_pool("127.93.14.2");
  BannerServer web("web"), plain("plain");
  Server nas = server("nas", web.port(), web.port());
  Server pi = server("pi", plain.port());
  pi.home_ip = "127.0.0.2";  // refuses: the VPN target answers
  pi.vpn = {{"office", "127.0.0.1"}};
  Server kept = server("kept", plain.port());
  set_config(Config{"lan", {nas, pi, kept}});
  cycle();
  ASSERT_EQ(status(), (std::vector<ServerStatus>{
                          {"nas", "nas.lan", "127.0.0.1", Route::home()},
                          {"pi", "pi.lan", "127.0.0.1", Route::vpn("office")},
                          {"kept", "kept.lan", "127.0.0.1", Route::home()},
                      }));

  // The same names, with nas moved to another home address and pi's target
  // under another label.
  nas.home_ip = "127.0.0.3";
  pi.vpn = {{"lab", "127.0.0.1"}};
  const Config changed{"lan", {nas, pi, kept}};
  {
    std::lock_guard lock(state_.mutex);
    state_.status = carry_over_status(state_.status, changed);
    state_.config = changed;
  }
  cap->enter_allowing(0);
  testing::internal::CaptureStderr();
  cycle();
  (void)testing::internal::GetCapturedStderr();
  cap->leave();
  EXPECT_EQ(status(), (std::vector<ServerStatus>{
                          {"nas", "nas.lan", std::nullopt, Route::unknown()},
                          {"pi", "pi.lan", std::nullopt, Route::unknown()},
                          {"kept", "kept.lan", "127.0.0.1", Route::home()},
                      }));
  EXPECT_EQ(table_->lookup(at("127.93.14.2", 80)), std::nullopt);
  EXPECT_EQ(table_->lookup(at("127.93.14.2", web.port())), std::nullopt);
  EXPECT_EQ(block(), "127.93.14.2\tnas.lan\n127.0.0.1\tkept.lan\n");
}

// A pool address is the daemon's own forward listener: probing it would
// make a server answer on it and forward each connection back to itself.
// None counts as answering, in either spelling, whoever it belongs to.
TEST_F(ApplyCycleTest, NoPoolAddressAnswersSoNoServerForwardsToThePool) {
  use_pool("127.93.15.2");
  BannerServer web("web");
  Server self = server("self", 2222, 8080);
  self.home_ip = "127.93.15.2";  // its own pool address
  Server a = server("a", 9001, 9001);
  a.home_ip = "127.93.15.4";  // b's
  Server b = server("b", 9001, 9001);
  b.home_ip = "::ffff:127.93.15.3";  // a's
  Server mixed = server("mixed", web.port(), web.port());
  mixed.home_ip = "127.93.15.200";  // in the pool, though nobody holds it yet
  mixed.vpn = {{"v6", "::ffff:127.93.15.2"}, {"office", "127.0.0.1"}};
  set_config(Config{"lan", {self, a, b, mixed}});
  // The first pass binds the listeners, the second would find them answering.
  cycle();
  cycle();

  const auto unreachable = [](const char* name) {
    return ServerStatus{name, std::string(name) + ".lan", std::nullopt, Route::unreachable()};
  };
  ASSERT_EQ(status(), (std::vector<ServerStatus>{
                          unreachable("self"),
                          unreachable("a"),
                          unreachable("b"),
                          {"mixed", "mixed.lan", "127.0.0.1", Route::vpn("office")},
                      }));
  for (const auto& [ip, port] : {std::pair{"127.93.15.2", 8080},
                                 {"127.93.15.2", 2222},
                                 {"127.93.15.3", 9001},
                                 {"127.93.15.4", 9001}}) {
    const SocketAddress listen = at(ip, static_cast<std::uint16_t>(port));
    EXPECT_TRUE(listeners_.contains(listen)) << ip << ":" << port;
    EXPECT_EQ(table_->lookup(listen), std::nullopt) << ip << ":" << port;
  }
  EXPECT_EQ(table_->lookup(at("127.93.15.5", 80)), at("127.0.0.1", web.port()));
  EXPECT_EQ(receive_all(at("127.93.15.2", 8080)), "") << "accepted and closed without a byte";
  EXPECT_EQ(receive_all(at("127.93.15.5", 80)), "web");
}

// Before its first probe a server whose probe cannot start stays unprobed.
TEST_F(ApplyCycleTest, AServerNeverProbedStaysUnknownWhenItsProbeCannotStart) {
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  use_pool("127.93.13.2");
  BannerServer plain("plain");
  set_config(Config{"lan", {server("nas", plain.port())}});
  {
    std::lock_guard lock(state_.mutex);
    state_.status = initial_status(state_.config);
  }
  cap->enter_allowing(0);
  testing::internal::CaptureStderr();
  cycle();
  (void)testing::internal::GetCapturedStderr();
  cap->leave();
  EXPECT_EQ(status(), initial_status(Config{"lan", {server("nas", plain.port())}}));
  EXPECT_EQ(block(), "");
}

// A stored name keeps the white space at its ends, a line feed included; the
// line that names it stays one line all the same, and forges none.
TEST_F(ApplyCycleTest, ARefusedProbeOfANameWithALineFeedLogsOneLine) {
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  use_pool("127.93.121.2");
  BannerServer plain("plain");
  set_config(Config{"lan", {server("nas\ntavi-helper: forged\r", plain.port())}});
  cap->enter_allowing(0);
  testing::internal::CaptureStderr();
  cycle();
  const std::string err = testing::internal::GetCapturedStderr();
  cap->leave();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(err.find('\r'), std::string::npos) << err;
  EXPECT_EQ(err.rfind("tavi-helper: tidak bisa memulai thread probe untuk ", 0), 0u) << err;
  EXPECT_NE(err.find(" nas\\ntavi-helper: forged\\r"), std::string::npos) << err;
}

}  // namespace
}  // namespace tavi
