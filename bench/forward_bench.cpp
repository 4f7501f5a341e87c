// Forwarding throughput on loopback: bytes from clients through a forward
// listener to an upstream server, beside the same transfer over direct
// loopback connections, for one connection and for 16 at once. The last
// lines printed give each forwarded rate as a share of the direct one.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "forward.hpp"
#include "tavi/socket.hpp"

namespace tavi {
namespace {

constexpr std::size_t TOTAL_PER_ITERATION = 32u << 20;  // shared among the connections
constexpr std::size_t WRITE_CHUNK = 64u << 10;

SocketAddress bound_address(const Fd& fd) { return *local_address(fd.get()); }

// The upstream server: reads every connection to its end and counts the bytes.
class Sink {
 public:
  Sink()
      : listener_(*bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0})),
        address_(bound_address(listener_)) {
    std::thread([this] {
      for (;;) {
        auto connection = accept_connection(listener_.get());
        if (!connection) continue;
        std::thread([this, fd = std::move(*connection)] { drain(fd.get()); }).detach();
      }
    }).detach();
  }
  const SocketAddress& address() const { return address_; }
  std::uint64_t received() const { return received_.load(); }
  void wait_for(std::uint64_t total) {
    std::unique_lock lock(mutex_);
    arrived_.wait(lock, [&] { return received_.load() >= total; });
  }

 private:
  void drain(int fd) {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      received_ += static_cast<std::uint64_t>(got);
      std::lock_guard lock(mutex_);
      arrived_.notify_all();
    }
  }

  Fd listener_;
  SocketAddress address_;
  std::atomic<std::uint64_t> received_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
};

Sink& sink() {
  static Sink* instance = new Sink;  // serves until the process ends
  return *instance;
}

// One forward listener towards the sink, left running until the process ends.
const SocketAddress& forward_listen_address() {
  static const SocketAddress address = [] {
    Fd listener = *bind_listener({Ipv4Address{{127, 44, 0, 1}}, 0});
    const SocketAddress listen = bound_address(listener);
    auto table = std::make_shared<ForwardTable>();
    table->replace({{listen, sink().address()}});
    std::thread(run_forward_listener, listen, table, std::make_shared<StopFlag>(false),
                std::move(listener))
        .detach();
    return listen;
  }();
  return address;
}

// Bytes per second of each run, by (forwarded, connections).
std::map<std::pair<bool, int>, double>& rates() {
  static std::map<std::pair<bool, int>, double> measured;
  return measured;
}

void transfer(benchmark::State& state, bool forwarded) {
  const int connections = static_cast<int>(state.range(0));
  const SocketAddress target = forwarded ? forward_listen_address() : sink().address();
  std::vector<Fd> clients;
  for (int i = 0; i < connections; ++i) {
    auto client = connect_with_timeout(target, std::chrono::seconds(5));
    if (!client) {
      state.SkipWithError("connect failed");
      return;
    }
    (void)set_nodelay(client->get());
    clients.push_back(std::move(*client));
  }
  const std::size_t per_connection = TOTAL_PER_ITERATION / static_cast<std::size_t>(connections);
  const std::string chunk(WRITE_CHUNK, '\x5a');

  const auto start = std::chrono::steady_clock::now();
  std::uint64_t moved = 0;
  for (auto _ : state) {
    const std::uint64_t goal = sink().received() + per_connection * clients.size();
    std::vector<std::thread> writers;
    for (const Fd& client : clients) {
      writers.emplace_back([&, fd = client.get()] {
        for (std::size_t sent = 0; sent < per_connection; sent += chunk.size()) {
          if (!send_all(fd, chunk)) return;
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
    sink().wait_for(goal);
    moved += per_connection * clients.size();
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  state.SetBytesProcessed(static_cast<std::int64_t>(moved));
  rates()[{forwarded, connections}] = static_cast<double>(moved) / took.count();
}

void BM_Direct(benchmark::State& state) { transfer(state, false); }
void BM_Forwarded(benchmark::State& state) { transfer(state, true); }

BENCHMARK(BM_Direct)->Arg(1)->Arg(16)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Forwarded)->Arg(1)->Arg(16)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace tavi

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  for (int connections : {1, 16}) {
    const auto& measured = tavi::rates();
    const auto direct = measured.find({false, connections});
    const auto forwarded = measured.find({true, connections});
    if (direct == measured.end() || forwarded == measured.end()) continue;
    fmt::print("forwarded/direct, {} connection(s): {:.1f} MiB/s / {:.1f} MiB/s = {:.2f}\n",
               connections, forwarded->second / (1 << 20), direct->second / (1 << 20),
               forwarded->second / direct->second);
  }
  benchmark::Shutdown();
  return 0;
}
