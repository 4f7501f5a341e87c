// One apply cycle over 250 servers that all answer on loopback, and over
// 20,000 whose address refuses at once: how long it takes and how many threads
// the process holds at its peak.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "apply.hpp"
#include "refusing_port.hpp"
#include "tavi/probe.hpp"
#include "tavi/socket.hpp"

namespace tavi {
namespace {

constexpr int SERVERS = 250;

int current_threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return 0;
}

// 250 listeners on 127.0.0.1; one thread accepts and drops every connection,
// so the accept queues never fill.
class AnsweringServers {
 public:
  AnsweringServers() {
    for (int i = 0; i < SERVERS; ++i) {
      auto bound = bind_listener(SocketAddress{Ipv4Address{{127, 0, 0, 1}}, 0});
      if (!bound) std::abort();
      ports_.push_back(local_address(bound->get())->port);
      listeners_.push_back(std::move(*bound));
    }
    thread_ = std::thread([this] { accept_all(); });
  }
  ~AnsweringServers() {
    done_ = true;
    thread_.join();
  }
  const std::vector<std::uint16_t>& ports() const { return ports_; }

 private:
  void accept_all() {
    std::vector<pollfd> fds;
    for (const Fd& l : listeners_) fds.push_back({l.get(), POLLIN, 0});
    while (!done_) {
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (const pollfd& p : fds) {
        if (p.revents & POLLIN) (void)accept_connection(p.fd);
      }
    }
  }
  std::vector<Fd> listeners_;
  std::vector<std::uint16_t> ports_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Samples the thread count until stopped; keeps the highest.
class ThreadSampler {
 public:
  ThreadSampler()
      : thread_([this] {
          while (!done_) {
            peak_ = std::max(peak_.load(), current_threads());
            std::this_thread::sleep_for(std::chrono::microseconds(50));
          }
        }) {}
  int stop() {
    done_ = true;
    thread_.join();
    return peak_;
  }

 private:
  std::atomic<bool> done_{false};
  std::atomic<int> peak_{0};
  std::thread thread_;
};

// A scratch hosts file and stand-in programs for the passes of one benchmark.
class BenchScratch {
 public:
  explicit BenchScratch(const char* pool)
      : dir_(std::filesystem::temp_directory_path() /
             ("tavi-apply-bench-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    const std::string hosts = dir_ + "/hosts";
    std::ofstream(hosts) << "127.0.0.1\tlocalhost\n";
    ::setenv("TAVI_HOSTS_FILE", hosts.c_str(), 1);
    ::setenv("TAVI_LOOPBACK", pool, 1);
    layout_.ifconfig = layout_.dscacheutil = layout_.killall = "/bin/true";
    daemon_.config.domain = "lan";
  }
  ~BenchScratch() {
    daemon_.config.servers.clear();
    cycle();  // stops the listeners
    std::filesystem::remove_all(dir_);
  }

  DaemonState& daemon() { return daemon_; }
  void cycle() { apply_cycle(daemon_, table_, listeners_, layout_); }

  // The timed passes, with the thread peak and the listener count.
  void measure(benchmark::State& state) {
    int peak = 0;
    for (auto _ : state) {
      ThreadSampler sampler;
      cycle();
      peak = std::max(peak, sampler.stop());
    }
    state.counters["peak_threads"] = peak;
    state.counters["listeners"] = static_cast<double>(listeners_.size());
  }

 private:
  std::string dir_;
  Layout layout_;
  DaemonState daemon_;
  std::shared_ptr<ForwardTable> table_ = std::make_shared<ForwardTable>();
  ListenerMap listeners_;
};

void run_cycles(benchmark::State& state, bool forwarded, const char* pool) {
  BenchScratch scratch(pool);
  AnsweringServers servers;
  for (int i = 0; i < SERVERS; ++i) {
    Server s{.name = std::string("s").append(std::to_string(i)),
             .home_ip = "127.0.0.1",
             .port = servers.ports()[i]};
    if (forwarded) s.web_port = s.port;  // two listeners: 80 and the port itself
    scratch.daemon().config.servers.push_back(s);
  }
  scratch.cycle();  // binds the listeners once
  scratch.measure(state);
  for (const ServerStatus& s : scratch.daemon().status) {
    if (s.route != Route::home()) state.SkipWithError("a server did not answer");
  }
}

// Far more servers than probes at once: the pass takes the time of the
// probes one after another, PROBES_AT_ONCE at a time.
void BM_ApplyCycleRefusing(benchmark::State& state) {
  BenchScratch scratch("127.94.2.2");
  const test::RefusingPort refusing;
  for (int i = 0; i < 20'000; ++i) {
    scratch.daemon().config.servers.push_back(
        Server{.name = fmt::format("s{}", i), .home_ip = "127.0.0.1", .port = refusing.port()});
  }
  scratch.measure(state);
  for (const ServerStatus& s : scratch.daemon().status) {
    if (s.route != Route::unreachable()) state.SkipWithError("a server was not probed");
  }
  state.counters["probes_at_once"] = static_cast<double>(PROBES_AT_ONCE);
}

void BM_ApplyCyclePlain(benchmark::State& state) { run_cycles(state, false, "127.94.0.2"); }
void BM_ApplyCycleForwarded(benchmark::State& state) { run_cycles(state, true, "127.94.1.2"); }

BENCHMARK(BM_ApplyCyclePlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ApplyCycleForwarded)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ApplyCycleRefusing)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
