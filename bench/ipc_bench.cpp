// Control round trips per second: connect, one request line, the whole reply,
// close; from one client and from 32 at once, against the accept loop on a
// loopback listener with a DaemonState of 20 servers.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <cstdlib>
#include <thread>

#include "control.hpp"
#include "tavi/socket.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;

SharedDaemonState twenty_servers() {
  auto state = std::make_shared<DaemonState>();
  state->config.domain = "home.arpa";
  for (int i = 0; i < 20; ++i) {
    Server server{.name = fmt::format("server-{}", i),
                  .home_ip = fmt::format("192.168.1.{}", i + 10)};
    server.vpn = {{"wg", fmt::format("10.8.0.{}", i + 10)}};
    server.aliases = {fmt::format("alias-{}", i)};
    state->config.servers.push_back(std::move(server));
  }
  state->status = initial_status(state->config);
  for (std::size_t i = 0; i < state->status.size(); ++i) {
    state->status[i].ip = state->config.servers[i].home_ip;
    state->status[i].route = i % 2 == 0 ? Route::home() : Route::vpn("wg");
  }
  return state;
}

// One accept loop for the whole run; its channels' receivers stay alive.
SocketAddress control_address() {
  static const SocketAddress address = [] {
    ::signal(SIGPIPE, SIG_IGN);
    auto listener = bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0});
    if (!listener) std::abort();
    const SocketAddress bound = *local_address(listener->get());
    static auto recheck = make_channel<Signal>();
    static auto update = make_channel<Signal>();
    std::thread([listener = std::move(*listener)]() mutable {
      accept_ipc_connections(std::move(listener), recheck.first, update.first, twenty_servers());
    }).detach();
    return bound;
  }();
  return address;
}

bool round_trip(const SocketAddress& address, std::string_view line) {
  auto client = connect_with_timeout(address, 2s);
  if (!client || !send_all(client->get(), line)) return false;
  char buffer[16384];
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ::recv(client->get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
  return total > 0;
}

void run_round_trips(benchmark::State& state, std::string_view line) {
  const SocketAddress address = control_address();
  for (auto _ : state) {
    if (!round_trip(address, line)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_PingRoundTrip(benchmark::State& state) { run_round_trips(state, "\"Ping\"\n"); }
void BM_StatusRoundTrip(benchmark::State& state) { run_round_trips(state, "\"Status\"\n"); }

BENCHMARK(BM_PingRoundTrip)->Threads(1)->Threads(32)->UseRealTime();
BENCHMARK(BM_StatusRoundTrip)->Threads(1)->Threads(32)->UseRealTime();

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
