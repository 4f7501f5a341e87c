// Control round trips per second: connect, one request line, the whole reply,
// close; from one client and from 32 at once, against the accept loop on a
// loopback listener with a DaemonState of 20 servers. Then the time a fresh
// Ping takes while floods of other clients hold the control port: idle
// clients, clients that send a byte every 4 s, and clients that never read a
// Status reply of some 6 MB.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stop_token>
#include <thread>
#include <vector>

#include "client_flood.hpp"
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

// An accept loop of its own for `state`, for the rest of the run; the
// channels' receivers stay alive.
SocketAddress serve(SharedDaemonState state) {
  ::signal(SIGPIPE, SIG_IGN);
  auto listener = bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0});
  if (!listener) std::abort();
  const SocketAddress bound = *local_address(listener->get());
  static auto recheck = make_channel<Signal>();
  static auto update = make_channel<Signal>();
  std::thread([listener = std::move(*listener), state = std::move(state)]() mutable {
    accept_ipc_connections(std::move(listener), recheck.first, update.first, std::move(state));
  }).detach();
  return bound;
}

SocketAddress control_address() {
  static const SocketAddress address = serve(twenty_servers());
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

using Clock = std::chrono::steady_clock;

enum Flood : int { IDLE, TRICKLING, NOT_READING_STATUS };

// A Status reply of some 6 MB.
SharedDaemonState long_status_state() {
  auto state = std::make_shared<DaemonState>();
  state->config = e2e::servers_under_a_long_domain("127.0.0.1", 22);
  state->status = initial_status(state->config);
  return state;
}

// Ping round trips, one every 250 ms, while `state.range(1)` clients of the
// kind `state.range(0)` hold the control port. Each iteration is one Ping;
// the counters give the median and the longest.
void BM_PingUnderFlood(benchmark::State& state) {
  const auto kind = static_cast<Flood>(state.range(0));
  const int clients = static_cast<int>(state.range(1));
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);

  const SocketAddress address =
      serve(kind == NOT_READING_STATUS ? long_status_state() : twenty_servers());
  const std::string endless(MAX_REQUEST_LINE - 1, ' ');
  // Opened in waves of 100, as a burst of more than the listen backlog (128)
  // would be partly dropped by the system before the daemon sees it.
  std::vector<e2e::ClientFlood> waves;
  for (int opened = 0; opened < clients; opened += 100) {
    waves.emplace_back(address, std::min(100, clients - opened), kind != NOT_READING_STATUS);
    std::this_thread::sleep_for(50ms);
  }
  std::jthread driver([&](std::stop_token stop) {
    const auto start = Clock::now();
    while (!stop.stop_requested()) {
      for (e2e::ClientFlood& wave : waves) {
        switch (kind) {
          case IDLE:
            // Idle clients come back when dropped, a wave at a time, so that
            // they stay many.
            wave.pump("", 0, 10ms);
            wave.reconnect_closed();
            break;
          case TRICKLING:
            // Closed when their line's limit runs out, they come back.
            wave.pump(endless, static_cast<std::size_t>((Clock::now() - start) / 4s) + 1, 10ms);
            wave.reconnect_closed();
            break;
          case NOT_READING_STATUS:
            wave.pump("\"Status\"\n", 9, 10ms);
            break;
        }
      }
    }
  });
  std::this_thread::sleep_for(2s);

  std::vector<double> took;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!round_trip(address, "\"Ping\"\n")) {
      state.SkipWithError("no reply");
      break;
    }
    const std::chrono::duration<double> seconds = Clock::now() - start;
    state.SetIterationTime(seconds.count());
    took.push_back(seconds.count() * 1000);
    std::this_thread::sleep_for(250ms);
  }
  driver.request_stop();
  if (took.empty()) return;
  std::sort(took.begin(), took.end());
  state.counters["median_ms"] = took[took.size() / 2];
  state.counters["max_ms"] = took.back();
  int open = 0;
  for (const e2e::ClientFlood& wave : waves) open += wave.open_clients();
  state.counters["open_clients"] = open;
}

BENCHMARK(BM_PingUnderFlood)
    ->ArgNames({"flood", "clients"})
    ->Args({IDLE, 1000})
    ->Args({TRICKLING, 64})
    ->Args({TRICKLING, 600})
    ->Args({NOT_READING_STATUS, 64})
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
