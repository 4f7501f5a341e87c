// The daemon against floods of control clients: slow clients under a thread
// cap, and many clients each holding a long line. Any local process can do
// either; neither may end the daemon, stop its forwarding or probing, or make
// its memory grow with the number of clients.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "client_flood.hpp"
#include "harness.hpp"
#include "tavi/socket.hpp"
#include "thread_cap.hpp"

namespace tavi::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string PONG = "{\"Pong\":{\"version\":\"0.3.0\"}}\n";
constexpr std::size_t MAX_LINE = 1'048'576;
constexpr std::size_t MIB = 1 << 20;

SocketAddress loopback(std::uint16_t port) { return {Ipv4Address{{127, 0, 0, 1}}, port}; }
std::uint16_t port_of(const Fd& listener) { return local_address(listener.get())->port; }

// The probed server: counts every connection made to it, each one probe.
class ProbeCounter {
 public:
  ProbeCounter() : listener_(std::move(*bind_listener(loopback(0)))), port_(port_of(listener_)) {
    thread_ = std::thread([this] {
      while (accept_connection(listener_.get())) ++probes_;
    });
  }
  ~ProbeCounter() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // ends the blocked accept
    thread_.join();
  }
  std::uint16_t port() const { return port_; }
  int probes() const { return probes_; }

 private:
  Fd listener_;
  std::uint16_t port_;
  std::atomic<int> probes_{0};
  std::thread thread_;
};

// Room for `descriptors` open sockets in this process, or false.
bool allow_descriptors(rlim_t descriptors) {
  rlimit own{};
  ::getrlimit(RLIMIT_NOFILE, &own);
  if (own.rlim_cur >= descriptors) return true;
  if (own.rlim_max < descriptors) return false;
  own.rlim_cur = own.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &own) == 0;
}

class ControlFlood : public ::testing::Test, protected DaemonScratch {
 protected:
  void SetUp() override { write_file(dir_.file("hosts"), ""); }

  SocketAddress control() const { return loopback(control_port_); }
};

// One connection through the forwarder to the upstream server, carrying data
// both ways.
::testing::AssertionResult forwards(const SocketAddress& forwarder, const Fd& upstream) {
  auto client = connect_with_timeout(forwarder, 2s);
  if (!client) return ::testing::AssertionFailure() << "no connection: " << client.error().text();
  auto server = accept_connection(upstream.get());
  if (!server) return ::testing::AssertionFailure() << "the connection never reached the server";
  if (!passes(*client, *server, "up") || !passes(*server, *client, "down")) {
    return ::testing::AssertionFailure() << "the data did not pass";
  }
  return ::testing::AssertionSuccess();
}

TEST_F(ControlFlood, UnderAThreadCapSlowClientsLeaveForwardingProbingAndAnswering) {
  // The cap is far above what the daemon needs for itself, and below the
  // flood: one thread per slow client would run into it.
  constexpr int THREAD_CAP = 400;
  constexpr int SLOW_CLIENTS = 600;
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  if (!allow_descriptors(SLOW_CLIENTS + 64)) GTEST_SKIP() << "too few descriptors";
  cap->limit(THREAD_CAP);

  auto upstream = bind_listener(loopback(0));
  ASSERT_TRUE(upstream);
  ASSERT_TRUE(set_receive_timeout(upstream->get(), 5s));  // bounds every accept on it
  ProbeCounter probed;
  write_file(dir_.file("config.json"),
             fmt::format("{{\"domain\":\"lan\",\"servers\":[{{\"name\":\"nas\",\"home_ip\":"
                         "\"127.0.0.1\",\"port\":{},\"web_port\":{}}}]}}",
                         probed.port(), port_of(*upstream)));
  auto daemon = start_daemon_after(fmt::format("echo $$ > '{}'", cap->procs_file()),
                                   environment("127.95.8.2"));
  ASSERT_TRUE(eventually([&] {
    return read_file(dir_.file("hosts")).find("127.95.8.2\tnas.lan\n") != std::string::npos;
  })) << daemon->stderr_so_far();
  const int probes_before = probed.probes();
  const SocketAddress forwarder{Ipv4Address{{127, 95, 8, 2}}, 80};
  ASSERT_TRUE(forwards(forwarder, *upstream));

  // Each slow client sends a blank a second and never ends its line.
  const std::string endless(MAX_LINE - 1, ' ');
  ClientFlood slow(control(), SLOW_CLIENTS);
  // Ends, and is joined, however the test ends.
  std::jthread pump([&](std::stop_token stop) {
    const auto start = Clock::now();
    while (!stop.stop_requested()) {
      slow.pump(endless, static_cast<std::size_t>((Clock::now() - start) / 1s) + 1, 25ms);
    }
  });
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(forwards(forwarder, *upstream)) << "early in the flood";
  // The next apply cycle comes 30 s after the first; it probes, while the
  // flood goes on.
  EXPECT_TRUE(
      eventually([&] { return probed.probes() > probes_before || !daemon->running(); }, 60s));
  ASSERT_TRUE(daemon->running()) << "the daemon ended: " << daemon->stderr_so_far();
  EXPECT_GT(probed.probes(), probes_before) << "no apply cycle probed during the flood";
  EXPECT_TRUE(forwards(forwarder, *upstream)) << "after an apply cycle in the flood";
  pump.request_stop();
  pump.join();
  EXPECT_GT(slow.open_clients(), SLOW_CLIENTS / 2) << "the slow clients were not held";

  slow = ClientFlood(control(), 0);  // closes every slow client
  EXPECT_TRUE(eventually([&] { return ping() == PONG; })) << daemon->stderr_so_far();
  EXPECT_TRUE(forwards(forwarder, *upstream)) << "after the flood";
  EXPECT_TRUE(daemon->running());
  // Nothing was refused: the flood never came near the cap.
  EXPECT_EQ(daemon->stderr_so_far().find("thread"), std::string::npos) << daemon->stderr_so_far();
}

TEST_F(ControlFlood, ManyClientsWithLongLinesCostBoundedMemory) {
  constexpr std::size_t BOUND = 256 * MIB;
  struct Flood {
    const char* what;
    std::string line;
    int clients;
    // Whether glibc keeps to one heap: see below.
    bool one_heap;
  };
  const std::vector<Flood> floods = {
      // All but the last byte of a line without its LF: each served client
      // holds a line buffer until the flood ends.
      {"lines held open", "\"Ping\"" + std::string(MAX_LINE - 1 - 6, ' '), 1000, false},
      // Whole lines, each read into a request of some thirty times its size.
      {"whole SetConfig lines", set_config_line_of_small_servers(), 300, true},
  };
  for (const Flood& f : floods) {
    SCOPED_TRACE(f.what);
    if (!allow_descriptors(f.clients + 64)) GTEST_SKIP() << "too few descriptors";
    ChildEnvironment env = environment("127.95.9.2");
    // glibc gives each of up to eight threads per core a heap of its own and
    // keeps what is freed in it, so when 64 connection threads in turn read
    // large requests the peak would tell how its heaps are shared out rather
    // than what the daemon holds at once. With one heap it tells the latter,
    // as macOS's allocator, whose heaps belong to CPUs and not to threads,
    // would.
    // AddressSanitizer, for its part, keeps up to 256 MiB of what is freed in
    // quarantine; a small one keeps its checks and the measure.
    if (f.one_heap) {
      env.set["MALLOC_ARENA_MAX"] = std::string("1");
      const char* asan = std::getenv("ASAN_OPTIONS");
      env.set["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") +
                                ":quarantine_size_mb=16:thread_local_quarantine_size_kb=256";
    }
    auto daemon = start_daemon_after("true", env);
    ASSERT_TRUE(eventually([&] { return ping() == PONG; })) << daemon->stderr_so_far();
    const std::size_t before = peak_resident_bytes(daemon->pid());
    ASSERT_GT(before, 0u);

    // The flood ends once no client can send any more.
    ClientFlood flood(control(), f.clients);
    const std::size_t sent = flood.push_until_stalled(f.line, 2s);
    const std::size_t peak = peak_resident_bytes(daemon->pid());
    // The flood did reach the daemon: served clients' lines are read whole.
    EXPECT_GE(sent, 64 * f.line.size());
    EXPECT_LT(peak - before, BOUND)
        << "peak resident set grew by " << (peak - before) / MIB << " MiB";

    // The lines already sent are still read and handled first, which can
    // take a while on a busy machine.
    flood = ClientFlood(control(), 0);
    EXPECT_TRUE(eventually([&] { return ping() == PONG; }, 60s)) << daemon->stderr_so_far();
  }
}

}  // namespace
}  // namespace tavi::e2e
