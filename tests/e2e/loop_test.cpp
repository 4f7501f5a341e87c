// The daemon against configurations that would turn it against itself:
// servers that point at its own forward listeners, and more servers than it
// may run probe threads for at once.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <optional>
#include <string>
#include <thread>

#include "harness.hpp"
#include "refusing_port.hpp"
#include "stream.hpp"
#include "tavi/probe.hpp"
#include "tavi/socket.hpp"
#include "thread_cap.hpp"

namespace tavi::e2e {
namespace {

using namespace std::chrono_literals;

SocketAddress at(std::string_view ip, std::uint16_t port) {
  return SocketAddress{*parse_ip_address(ip), port, 0};
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class Loops : public ::testing::Test, protected DaemonScratch {
 protected:
  void SetUp() override { write_file(dir_.file("hosts"), ""); }

  // Starts the daemon, in `cap` when there is one.
  std::unique_ptr<RunningProgram> start(const test::ThreadCap* cap, const std::string& pool) {
    const std::string setup = cap ? fmt::format("echo $$ > '{}'", cap->procs_file()) : "true";
    return start_daemon_after(setup, environment(pool));
  }

  // Sends a Recheck and waits until a pass has stored `wanted` in the status.
  bool recheck_until(const std::string& wanted) {
    if (request("\"Recheck\"\n") != "\"Ok\"\n") return false;
    return eventually([&] { return request("\"Status\"\n").find(wanted) != std::string::npos; });
  }
};

// self points at its own pool address, a and b at each other's (b in the
// IPv4-mapped spelling). Had any of them answered, each probe and each client
// connection would be forwarded back into the daemon without end.
TEST_F(Loops, ServersPointingAtPoolAddressesAreUnreachableAndForwardNothing) {
  // Should the loop come back, the cap keeps it from taking the machine.
  auto cap = test::ThreadCap::create();
  if (cap) cap->limit(300);
  // A server whose answer each pass turns on or off, to tell the passes apart.
  const std::uint16_t witness_port = static_cast<std::uint16_t>(free_loopback_port());
  write_file(
      dir_.file("config.json"),
      fmt::format(R"({{"domain":"lan","servers":[)"
                  R"({{"name":"self","home_ip":"127.97.1.2","port":2222,"web_port":8080,)"
                  R"("vpn":[{{"label":"v6","ip":"::ffff:127.97.1.2"}}]}},)"
                  R"({{"name":"a","home_ip":"127.97.1.4","port":9001,"web_port":9001}},)"
                  R"({{"name":"b","home_ip":"::ffff:127.97.1.3","port":9001,"web_port":9001}},)"
                  R"({{"name":"witness","home_ip":"127.0.0.1","port":{}}}]}})",
                  witness_port));
  auto daemon = start(cap ? &*cap : nullptr, "127.97.1.2");
  ASSERT_TRUE(eventually([&] {
    return read_file(dir_.file("hosts")).find("127.97.1.4\tb.lan\n") != std::string::npos;
  })) << daemon->stderr_so_far();

  // The first pass bound the listeners; only the passes after it could find
  // them answering.
  std::optional<Fd> witness;
  ASSERT_TRUE(
      recheck_until(R"("name":"witness","fqdn":"witness.lan","ip":null,"route":"Unreachable")"));
  const long threads_before = test::threads_of(daemon->pid());
  ASSERT_GT(threads_before, 0);
  for (int pass = 0; pass < 3; ++pass) {
    SCOPED_TRACE(pass);
    for (const SocketAddress& forwarder :
         {at("127.97.1.2", 8080), at("127.97.1.2", 2222), at("127.97.1.3", 9001)}) {
      auto client = connect_with_timeout(forwarder, 2s);
      ASSERT_TRUE(client) << format_socket_address(forwarder);
      (void)set_receive_timeout(client->get(), 5s);
      EXPECT_EQ(test::read_until_closed(client->get()), "")
          << "accepted and closed unforwarded: " << format_socket_address(forwarder);
    }
    witness.reset();
    if (pass % 2 == 0) {
      auto bound = bind_listener(at("127.0.0.1", witness_port));
      ASSERT_TRUE(bound) << bound.error().text();
      witness = std::move(*bound);
    }
    ASSERT_TRUE(recheck_until(
        pass % 2 == 0 ? R"("name":"witness","fqdn":"witness.lan","ip":"127.0.0.1","route":"Home")"
                      : R"("name":"witness","fqdn":"witness.lan","ip":null,"route":"Unreachable")"))
        << daemon->stderr_so_far();
  }

  const std::string status = request("\"Status\"\n");
  const std::string unreachable = R"("ip":null,"route":"Unreachable")";
  for (const char* name : {"self", "a", "b"}) {
    EXPECT_NE(status.find(fmt::format(R"("name":"{0}","fqdn":"{0}.lan",{1})", name, unreachable)),
              std::string::npos)
        << status;
  }
  // The threads of the control requests may take a moment to end.
  EXPECT_TRUE(eventually([&] { return test::threads_of(daemon->pid()) <= threads_before + 4; }, 5s))
      << test::threads_of(daemon->pid()) << " threads, " << threads_before << " before";
  EXPECT_TRUE(daemon->running());
  EXPECT_EQ(daemon->stderr_so_far(), "");
}

TEST_F(Loops, TwentyThousandServersAreAllProbedUnderASmallThreadCap) {
  constexpr int SERVERS = 20'000;
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  // Each probe with its one worker, and room for the daemon's own threads.
  cap->limit(static_cast<long>(PROBES_AT_ONCE * 2 + 64));
  const test::RefusingPort refusing;
  std::string config = R"({"domain":"lan","servers":[)";
  for (int i = 0; i < SERVERS; ++i) {
    config += fmt::format(R"({}{{"name":"s{}","home_ip":"127.0.0.1","port":{}}})",
                          i == 0 ? "" : ",", i, refusing.port());
  }
  config += "]}";
  write_file(dir_.file("config.json"), config);
  auto daemon = start(&*cap, "127.97.2.2");

  std::string status;
  for (int wait = 0; wait < 240; ++wait) {
    status = request("\"Status\"\n");
    if (status.find("Unknown") == std::string::npos && status.starts_with("{\"Status\":[")) break;
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(occurrences(status, R"("route":"Unreachable")"), static_cast<std::size_t>(SERVERS))
      << status.substr(0, 300);
  EXPECT_EQ(occurrences(status, "Unknown"), 0u);
  EXPECT_TRUE(daemon->running());
  EXPECT_EQ(daemon->stderr_so_far().find("thread"), std::string::npos) << daemon->stderr_so_far();
}

}  // namespace
}  // namespace tavi::e2e
