// The daemon under the descriptor limits a real machine gives it: launchd's
// soft limit of 256, and a limit so small that accepting has to wait.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"
#include "tavi/socket.hpp"

namespace tavi::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string PONG = "{\"Pong\":{\"version\":\"0.3.0\"}}\n";

SocketAddress loopback(std::uint16_t port) { return {Ipv4Address{{127, 0, 0, 1}}, port}; }

std::uint16_t port_of(const Fd& listener) { return local_address(listener.get())->port; }

class DescriptorLimit : public ::testing::Test, protected DaemonScratch {};

TEST_F(DescriptorLimit, UnderLaunchdsSoftLimitEveryForwardedConnectionCarriesData) {
  // Each forwarded connection holds four descriptors in the daemon, so 150 of
  // them need 600: well past 256.
  constexpr int CONNECTIONS = 150;
  rlimit own{};
  ::getrlimit(RLIMIT_NOFILE, &own);
  if (own.rlim_max < 1024 || own.rlim_cur < 2 * CONNECTIONS + 64) {
    GTEST_SKIP() << "descriptor limits too small here: " << own.rlim_cur << "/" << own.rlim_max;
  }
  auto upstream = bind_listener(loopback(0));
  auto probed = bind_listener(loopback(0));  // answers the probe, never accepted
  ASSERT_TRUE(upstream && probed);
  // The receive limit bounds every accept on the listener as well.
  ASSERT_TRUE(set_receive_timeout(upstream->get(), 5s));
  write_file(dir_.file("hosts"), "");
  write_file(dir_.file("config.json"),
             fmt::format("{{\"domain\":\"lan\",\"servers\":[{{\"name\":\"nas\",\"home_ip\":"
                         "\"127.0.0.1\",\"port\":{},\"web_port\":{}}}]}}",
                         port_of(*probed), port_of(*upstream)));
  auto daemon = start_daemon_after("ulimit -S -n 256", environment("127.95.6.2"));
  ASSERT_TRUE(eventually([&] {
    return read_file(dir_.file("hosts")).find("127.95.6.2\tnas.lan\n") != std::string::npos;
  })) << daemon->stderr_so_far();

  const SocketAddress forwarder{Ipv4Address{{127, 95, 6, 2}}, 80};
  struct Forwarded {
    Fd client;
    Fd server;
  };
  std::vector<Forwarded> forwarded;
  for (int i = 0; i < CONNECTIONS; ++i) {
    auto client = connect_with_timeout(forwarder, 2s);
    ASSERT_TRUE(client) << "connection " << i << ": " << client.error().text();
    auto server = accept_connection(upstream->get());
    ASSERT_TRUE(server) << "connection " << i << " never reached the server";
    Forwarded pair{std::move(*client), std::move(*server)};
    ASSERT_TRUE(passes(pair.client, pair.server, fmt::format("up {}", i))) << "connection " << i;
    ASSERT_TRUE(passes(pair.server, pair.client, fmt::format("down {}", i))) << "connection " << i;
    forwarded.push_back(std::move(pair));
  }
  // All of them are still open and carry data both ways.
  for (int i = 0; i < CONNECTIONS; ++i) {
    EXPECT_TRUE(passes(forwarded[i].client, forwarded[i].server, fmt::format("again up {}", i)))
        << i;
    EXPECT_TRUE(passes(forwarded[i].server, forwarded[i].client, fmt::format("again down {}", i)))
        << i;
  }
}

// How many of the descriptor numbers below `limit` the process holds, from
// /proc (it may have inherited some above).
int descriptors_below(pid_t pid, int limit) {
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(fmt::format("/proc/{}/fd", pid), error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    count += std::stoi(it->path().filename().string()) < limit;
  }
  return count;
}

// User and system CPU time the process has used, from /proc.
std::chrono::milliseconds cpu_time(pid_t pid) {
  std::ifstream stat_file(fmt::format("/proc/{}/stat", pid));
  std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  // The fields after the parenthesised command name; utime and stime are the
  // 14th and 15th of the whole line.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i < 14; ++i) rest >> field;
  long long user = 0, system = 0;
  rest >> user >> system;
  return std::chrono::milliseconds((user + system) * 1000 / ::sysconf(_SC_CLK_TCK));
}

TEST_F(DescriptorLimit, OutOfDescriptorsTheControlPortWaitsAndServesAgainAfterwards) {
  constexpr int DESCRIPTORS = 64;
  write_file(dir_.file("hosts"), "");
  auto daemon = start_daemon_after(fmt::format("ulimit -S -n {0} && ulimit -H -n {0}", DESCRIPTORS),
                                   environment("127.95.7.2"));
  ASSERT_TRUE(eventually([&] { return ping() == PONG; })) << daemon->stderr_so_far();

  // Idle connections, each held by the daemon until its 5 s receive limit;
  // those it cannot accept wait in the backlog.
  std::vector<Fd> flood;
  for (int i = 0; i < 2 * DESCRIPTORS; ++i) {
    auto client = connect_with_timeout(loopback(control_port_), 2s);
    ASSERT_TRUE(client) << i;
    flood.push_back(std::move(*client));
  }
  // Every descriptor number it may use is taken: accepting fails with EMFILE.
  ASSERT_TRUE(
      eventually([&] { return descriptors_below(daemon->pid(), DESCRIPTORS) == DESCRIPTORS; }, 3s))
      << descriptors_below(daemon->pid(), DESCRIPTORS) << " descriptors open";

  // An accept loop that retried at once would use all of this wait on the
  // CPU; a busy machine can only give it less.
  const auto cpu_before = cpu_time(daemon->pid());
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(1500ms);
  const auto cpu = cpu_time(daemon->pid()) - cpu_before;
  const auto wall = Clock::now() - wall_before;
  EXPECT_LT(cpu * 2, wall) << cpu.count() << " ms of CPU time";

  flood.clear();
  EXPECT_TRUE(eventually([&] { return ping() == PONG; })) << daemon->stderr_so_far();
}

}  // namespace
}  // namespace tavi::e2e
