// What floods of valid configurations cost the daemon's memory: 64 clients
// for 20 s, each sending a SetConfig that the daemon saves and applies, and
// connecting again as soon as it is answered. Two shapes, each about as large
// as a request line may be: one server with 150,000 aliases (one long hosts
// line, a large configuration file), and 40,000 small servers (a probe each,
// many records). Clients alternate between two domains, so every request
// changes the configuration, the statuses and the hosts block.
//
// The daemon is the built executable, started with scratch TAVI_* values and,
// for the argument 1, MALLOC_ARENA_MAX=1, in a pids cgroup of DAEMON_TASKS
// where one can be made, so that its probes never take the process ids the
// rest of a shared machine needs. Read from /proc: the peak
// resident set's growth over the resident set before the flood, and what is
// still resident once the last configuration has been applied.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <expected>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client_flood.hpp"
#include "harness.hpp"
#include "stream.hpp"
#include "tavi/socket.hpp"
#include "thread_cap.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;

constexpr double MIB = 1024.0 * 1024.0;
constexpr std::size_t MAX_LINE = 1'048'576;
constexpr int CLIENTS = 64;
constexpr auto FLOOD = 20s;
constexpr int ALIASES = 150'000;
constexpr int SERVERS = 40'000;
const char* const DOMAINS[] = {"home.arpa", "lan"};
constexpr long DAEMON_TASKS = 4'000;

// The threads the process runs now, or 0.
long thread_count(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::stol(line.substr(8));
  }
  return 0;
}

// The i-th of the shortest distinct names of digits and small letters.
std::string short_name(int i) {
  static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name;
  int width = 1;
  for (int count = 36; i >= count; count *= 36, ++width) i -= count;
  for (int k = 0; k < width; ++k, i /= 36) name.insert(name.begin(), digits[i % 36]);
  return name;
}

std::string set_config_line(const std::string& domain, const std::string& servers) {
  std::string line =
      R"({"SetConfig":{"domain":")" + domain + R"(","servers":[)" + servers + "]}}\n";
  if (line.size() > MAX_LINE) std::abort();
  return line;
}

// One server on 127.0.0.1:`port`, which answers, with ALIASES aliases.
std::string one_server_with_aliases(const std::string& domain, std::uint16_t port) {
  std::string server = R"(["srv-a","127.0.0.1",[],)" + std::to_string(port) + ",[";
  for (int i = 0; i < ALIASES; ++i) {
    if (i > 0) server += ',';
    server += '"' + short_name(i) + '"';
  }
  return set_config_line(domain, server + "]]");
}

// SERVERS servers on ::1 at port 22, in array form so that they fit a line.
std::string many_small_servers(const std::string& domain) {
  std::string servers;
  for (int i = 0; i < SERVERS; ++i) {
    if (i > 0) servers += ',';
    servers += R"([")" + short_name(i) + R"(","::1"])";
  }
  return set_config_line(domain, servers);
}

// A server that answers every probe: each connection accepted and closed.
class AnsweringServer {
 public:
  AnsweringServer() : listener_(std::move(*bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0}))) {
    port_ = local_address(listener_.get())->port;
    thread_ = std::thread([this] {
      while (accept_connection(listener_.get())) {
      }
    });
  }
  ~AnsweringServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // ends the blocked accept
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  Fd listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

class FloodedDaemon : public e2e::DaemonScratch {
 public:
  explicit FloodedDaemon(bool one_arena) : cap_(test::ThreadCap::create()) {
    e2e::ChildEnvironment env = environment("127.96.1.2");
    if (one_arena) env.set["MALLOC_ARENA_MAX"] = std::string("1");
    std::string setup = "exec 2>/dev/null";
    if (cap_) {
      cap_->limit(DAEMON_TASKS);
      setup = "echo $$ > '" + cap_->procs_file() + "' && " + setup;
    }
    daemon_ = e2e::start_daemon_after(setup, env);
  }
  bool capped() const { return cap_.has_value(); }
  bool started() const {
    return e2e::eventually([&] { return ping().starts_with("{\"Pong\""); });
  }
  pid_t pid() const { return daemon_->pid(); }
  SocketAddress control() const { return {Ipv4Address{{127, 0, 0, 1}}, control_port_}; }
  std::size_t config_file_bytes() const { return e2e::read_file(dir_.file("config.json")).size(); }

  // The Status reply, or empty.
  std::string status() const {
    auto client = connect_with_timeout(control(), 2s);
    if (!client) return {};
    (void)set_receive_timeout(client->get(), 30s);
    if (!send_all(client->get(), "\"Status\"\n")) return {};
    return test::read_until_closed(client->get());
  }

 private:
  std::expected<test::ThreadCap, std::string> cap_;  // outlives the daemon
  std::unique_ptr<e2e::RunningProgram> daemon_;
};

void flood(benchmark::State& state, const std::vector<std::string>& lines) {
  for (auto _ : state) {
    FloodedDaemon daemon(state.range(0) != 0);
    if (!daemon.started()) {
      state.SkipWithError("the daemon did not answer");
      break;
    }
    const std::size_t before = e2e::resident_bytes(daemon.pid());
    const long idle_threads = thread_count(daemon.pid());

    // The clients go with the flood: what the daemon holds after it is its own.
    const std::size_t saved =
        e2e::ClientFlood(daemon.control(), CLIENTS).resend_for(lines, "\"Ok\"\n", FLOOD);

    // Requests whose clients have gone are still served: done when the
    // connection threads have ended, and the last SetConfig (which, with its
    // new domain, made every route Unknown) applied once a pass has stored
    // probed statuses.
    const bool served =
        e2e::eventually([&] { return thread_count(daemon.pid()) <= idle_threads; }, 120s);
    const bool applied = served && e2e::eventually(
                                       [&] {
                                         const std::string status = daemon.status();
                                         return status.find("\"Home\"") != std::string::npos ||
                                                status.find("\"Unreachable\"") != std::string::npos;
                                       },
                                       60s);
    std::this_thread::sleep_for(2s);
    const std::size_t peak = e2e::peak_resident_bytes(daemon.pid());
    const std::size_t after = e2e::resident_bytes(daemon.pid());
    if (saved == 0 || daemon.config_file_bytes() == 0) {
      state.SkipWithError("no configuration was saved");
      break;
    }
    if (!served || !applied) {
      state.SkipWithError(served ? "the last configuration was not applied"
                                 : "the connection threads did not end");
      break;
    }
    state.counters["start_rss_MiB"] = static_cast<double>(before) / MIB;
    state.counters["peak_growth_MiB"] = static_cast<double>(peak - before) / MIB;
    state.counters["held_after_MiB"] =
        (static_cast<double>(after) - static_cast<double>(before)) / MIB;
    state.counters["saved_configs"] = static_cast<double>(saved);
    state.counters["task_cap"] = daemon.capped() ? DAEMON_TASKS : 0;
    state.counters["line_KiB"] = static_cast<double>(lines.front().size()) / 1024.0;
  }
}

void BM_FloodOfOneServerWithAliases(benchmark::State& state) {
  const AnsweringServer server;
  flood(state, {one_server_with_aliases(DOMAINS[0], server.port()),
                one_server_with_aliases(DOMAINS[1], server.port())});
}

void BM_FloodOfManySmallServers(benchmark::State& state) {
  flood(state, {many_small_servers(DOMAINS[0]), many_small_servers(DOMAINS[1])});
}

// 0: the default allocator; 1: MALLOC_ARENA_MAX=1.
void allocators(benchmark::internal::Benchmark* bench) {
  bench->ArgName("one_arena")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);
  bench->UseRealTime();
}

BENCHMARK(BM_FloodOfOneServerWithAliases)->Apply(allocators);
BENCHMARK(BM_FloodOfManySmallServers)->Apply(allocators);

}  // namespace
}  // namespace tavi

BENCHMARK_MAIN();
