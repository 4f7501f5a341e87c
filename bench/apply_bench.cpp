// One apply cycle over 250 servers that all answer on loopback: how long it
// takes and how many threads the process holds at its peak.
#include <benchmark/benchmark.h>
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

void run_cycles(benchmark::State& state, bool forwarded, const char* pool) {
  const std::string dir =
      std::filesystem::temp_directory_path() / ("tavi-apply-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string hosts = dir + "/hosts";
  std::ofstream(hosts) << "127.0.0.1\tlocalhost\n";
  ::setenv("TAVI_HOSTS_FILE", hosts.c_str(), 1);
  ::setenv("TAVI_LOOPBACK", pool, 1);
  Layout layout;
  layout.ifconfig = layout.dscacheutil = layout.killall = "/bin/true";

  AnsweringServers servers;
  DaemonState daemon;
  daemon.config.domain = "lan";
  for (int i = 0; i < SERVERS; ++i) {
    Server s{.name = std::string("s").append(std::to_string(i)),
             .home_ip = "127.0.0.1",
             .port = servers.ports()[i]};
    if (forwarded) s.web_port = s.port;  // two listeners: 80 and the port itself
    daemon.config.servers.push_back(s);
  }
  auto table = std::make_shared<ForwardTable>();
  ListenerMap listeners;
  apply_cycle(daemon, table, listeners, layout);  // binds the listeners once

  int peak = 0;
  for (auto _ : state) {
    ThreadSampler sampler;
    apply_cycle(daemon, table, listeners, layout);
    peak = std::max(peak, sampler.stop());
  }
  for (const ServerStatus& s : daemon.status) {
    if (s.route != Route::home()) state.SkipWithError("a server did not answer");
  }
  state.counters["peak_threads"] = peak;
  state.counters["listeners"] = static_cast<double>(listeners.size());

  daemon.config.servers.clear();
  apply_cycle(daemon, table, listeners, layout);  // stops the listeners
  std::filesystem::remove_all(dir);
}

void BM_ApplyCyclePlain(benchmark::State& state) { run_cycles(state, false, "127.94.0.2"); }
void BM_ApplyCycleForwarded(benchmark::State& state) { run_cycles(state, true, "127.94.1.2"); }

BENCHMARK(BM_ApplyCyclePlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ApplyCycleForwarded)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
