// What many control clients with long lines or long replies cost the accept
// loop's process at most: clients that hold a line of 1 MiB open without its
// LF, clients that send a whole line of 1 MiB which is read into a request,
// and clients that ask for a Status reply of some 6 MB and never read it. The
// accept loop runs in a child process of its own for every case; its peak
// resident set (VmHWM) is started afresh before the flood and read after.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "client_flood.hpp"
#include "control.hpp"
#include "tavi/socket.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;

constexpr double MIB = 1024.0 * 1024.0;

// The accept loop in a child process, ended with the case.
class ControlProcess {
 public:
  explicit ControlProcess(const std::function<SharedDaemonState()>& make_state) {
    auto listener = bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0});
    if (!listener) std::abort();
    address_ = *local_address(listener->get());
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::signal(SIGPIPE, SIG_IGN);
      SharedDaemonState state = make_state();
      auto recheck = make_channel<Signal>();
      auto update = make_channel<Signal>();
      accept_ipc_connections(std::move(*listener), recheck.first, update.first, state);
    }
  }
  ~ControlProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ControlProcess(const ControlProcess&) = delete;
  ControlProcess& operator=(const ControlProcess&) = delete;

  pid_t pid() const { return pid_; }
  const SocketAddress& address() const { return address_; }

 private:
  SocketAddress address_;
  pid_t pid_ = -1;
};

SharedDaemonState empty_state() { return std::make_shared<DaemonState>(); }

// A Status reply of some 6 MB.
SharedDaemonState long_status_state() {
  auto state = std::make_shared<DaemonState>();
  state->config = e2e::servers_under_a_long_domain("127.0.0.1", 22);
  state->status = initial_status(state->config);
  for (ServerStatus& status : state->status) status.route = Route::unreachable();
  return state;
}

// One flood of `state.range(0)` clients, each sending `line` as far as the
// accept loop takes it, against a fresh accept loop per iteration.
void flood_with(benchmark::State& state, const std::string& line,
                const std::function<SharedDaemonState()>& make_state = empty_state,
                bool read_replies = true, std::chrono::seconds settle = 0s) {
  const int clients = static_cast<int>(state.range(0));
  for (auto _ : state) {
    ControlProcess control(make_state);
    // It answers before the flood, so it runs and its start-up peak is in.
    auto probe = connect_with_timeout(control.address(), 5s);
    if (!probe || !send_all(probe->get(), "\"Ping\"\n")) {
      state.SkipWithError("the accept loop did not start");
      break;
    }
    char byte;
    (void)::recv(probe->get(), &byte, 1, MSG_WAITALL);
    e2e::reset_peak_resident(control.pid());
    const std::size_t before = e2e::peak_resident_bytes(control.pid());

    e2e::ClientFlood flood(control.address(), clients, read_replies);
    const std::size_t sent = flood.push_until_stalled(line, 2s);
    // What was sent may still wait in the sockets: the peak counts once the
    // accept loop has handled it all.
    if (read_replies) (void)flood.drain(60s);
    std::this_thread::sleep_for(settle);
    const std::size_t after = e2e::peak_resident_bytes(control.pid());
    state.counters["peak_rss_growth_MiB"] = static_cast<double>(after - before) / MIB;
    state.counters["start_peak_rss_MiB"] = static_cast<double>(before) / MIB;
    state.counters["sent_MiB"] = static_cast<double>(sent) / MIB;
  }
}

// All but the last byte of a line, without its LF: each served client holds
// its connection thread and a line buffer of 1 MiB.
void BM_ClientsHoldingLongLines(benchmark::State& state) {
  flood_with(state, "\"Ping\"" + std::string(MAX_REQUEST_LINE - 1 - 6, ' '));
}

// Whole lines of 1 MiB, each read into a request many times its size.
void BM_ClientsSendingWholeLines(benchmark::State& state) {
  flood_with(state, e2e::set_config_line_of_small_servers());
}

// Status requests whose replies are never read: each long reply is built
// and written only with a long slot, and dropped at the write limit.
void BM_ClientsNotReadingALongStatus(benchmark::State& state) {
  flood_with(state, "\"Status\"\n", long_status_state, false, 5s);
}

// 100 clients and 1,000 (300 for whole lines): with long lines handled a few
// at a time, the peak should not follow the number of clients.
void flood_sizes(benchmark::internal::Benchmark* bench) {
  bench->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
}

BENCHMARK(BM_ClientsHoldingLongLines)->Arg(100)->Arg(1000)->Apply(flood_sizes);
BENCHMARK(BM_ClientsSendingWholeLines)->Arg(100)->Arg(300)->Arg(1000)->Apply(flood_sizes);
BENCHMARK(BM_ClientsNotReadingALongStatus)->Arg(64)->Arg(300)->Apply(flood_sizes);

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
