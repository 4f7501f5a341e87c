#include "tavi/probe.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "no_free_descriptors.hpp"
#include "tavi/socket.hpp"
#include "thread_cap.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Ipv4Address v4(std::uint8_t c, std::uint8_t d) { return {{127, 42, c, d}}; }
std::string text(std::uint8_t c, std::uint8_t d) { return format_ip_address(v4(c, d)); }

// A listener whose accept queue is full: connects to it neither succeed nor fail.
struct SilentListener {
  Fd listener;
  std::vector<Fd> waiting;
};

// Simulated servers on loopback, all on one port as a server's candidates are.
// Answering: a listener; refusing: nothing bound; silent: a full accept queue.
class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    auto first = bind_listener({v4(0, 1), 0});
    ASSERT_TRUE(first);
    port_ = local_address(first->get())->port;
    keep_.push_back(std::move(*first));
  }

  void answering(const Ipv4Address& ip) {
    auto listener = bind_listener({ip, port_});
    ASSERT_TRUE(listener) << listener.error().text();
    keep_.push_back(std::move(*listener));
  }

  SilentListener& silent(const Ipv4Address& ip) {
    auto listener = bind_listener({ip, port_}, 0);
    EXPECT_TRUE(listener) << listener.error().text();
    SilentListener& s = silent_.emplace_back();
    if (!listener) return s;
    s.listener = std::move(*listener);
    for (int i = 0; i < 4; ++i) {
      if (auto c = connect_with_timeout({ip, port_}, 200ms)) s.waiting.push_back(std::move(*c));
    }
    EXPECT_FALSE(s.waiting.empty());
    return s;
  }

  Server server(std::string home, std::vector<VpnTarget> vpn = {}) {
    return {.name = "nas",
            .home_ip = std::move(home),
            .vpn = std::move(vpn),
            .port = port_,
            .aliases = {"files"},
            .web_port = 8080,
            .extra_ports = {9000}};
  }

  std::uint16_t port_ = 0;
  std::vector<Fd> keep_;
  std::deque<SilentListener> silent_;
};

TEST(ProbeCandidates, OrderTrimmingAndSkippedAddresses) {
  Server s{.name = "nas",
           .home_ip = " \t192.168.1.10\xc2\xa0",
           .vpn = {{" wg ", "10.0.0.1"},
                   {"bad", "10.0.0.256"},
                   {"v6", " fd00::1 "},
                   {"port", "10.0.0.2:22"},
                   {"mapped", "::ffff:10.0.0.3"}}};
  const std::vector<ProbeCandidate> expected = {
      {Route::home(), IpAddress{Ipv4Address{{192, 168, 1, 10}}}},
      {Route::vpn(" wg "), IpAddress{Ipv4Address{{10, 0, 0, 1}}}},
      {Route::vpn("v6"), *parse_ip_address("fd00::1")},
      {Route::vpn("mapped"), *parse_ip_address("::ffff:10.0.0.3")},
  };
  EXPECT_EQ(probe_candidates(s), expected);

  s.home_ip = "nas.local";
  s.vpn = {{"wg", "[10.0.0.1]"}, {"lan", "10.0.0.1"}};
  EXPECT_EQ(
      probe_candidates(s),
      (std::vector<ProbeCandidate>{{Route::vpn("lan"), IpAddress{Ipv4Address{{10, 0, 0, 1}}}}}));

  s.vpn = {{"wg", ""}};
  EXPECT_TRUE(probe_candidates(s).empty());
}

TEST_F(Probe, HomeIsPreferredOverVpnTargetsThatAnswer) {
  answering(v4(1, 1));
  answering(v4(1, 2));
  answering(v4(1, 3));
  const Server s = server(" " + text(1, 1) + "\t", {{"wg", text(1, 2)}, {"lte", text(1, 3)}});
  const ProbeResult result = probe_server(s).value();
  EXPECT_EQ(result.server, s);
  EXPECT_EQ(result.route, Route::home());
  EXPECT_EQ(result.ip, IpAddress{v4(1, 1)});
}

TEST_F(Probe, EarliestAnsweringVpnTargetWins) {
  answering(v4(2, 2));
  answering(v4(2, 3));
  const auto start = Clock::now();
  const Server s =
      server(text(2, 1), {{"bad", "not an address"}, {"wg", text(2, 2)}, {"lte", text(2, 3)}});
  const ProbeResult result = probe_server(s).value();
  EXPECT_EQ(result.route, Route::vpn("wg"));
  EXPECT_EQ(result.ip, IpAddress{v4(2, 2)});
  EXPECT_LT(Clock::now() - start, 500ms);  // nobody was silent
}

TEST_F(Probe, WaitsForEveryWorkerEvenWhenHomeAnswered) {
  answering(v4(3, 1));
  silent(v4(3, 2));
  const auto start = Clock::now();
  const ProbeResult result = probe_server(server(text(3, 1), {{"wg", text(3, 2)}})).value();
  const auto took = Clock::now() - start;
  EXPECT_EQ(result.route, Route::home());
  EXPECT_EQ(result.ip, IpAddress{v4(3, 1)});
  EXPECT_GE(took, 2300ms);
  EXPECT_LT(took, 5s);
}

TEST_F(Probe, LaterVpnTargetWhenHomeRefusesAndFirstTargetIsSilent) {
  silent(v4(4, 2));
  answering(v4(4, 3));
  const auto start = Clock::now();
  const ProbeResult result =
      probe_server(server(text(4, 1), {{"wg", text(4, 2)}, {"lte", text(4, 3)}})).value();
  const auto took = Clock::now() - start;
  EXPECT_EQ(result.route, Route::vpn("lte"));
  EXPECT_EQ(result.ip, IpAddress{v4(4, 3)});
  EXPECT_GE(took, 2300ms);
  EXPECT_LT(took, 5s);
}

TEST_F(Probe, SilentHomeWithoutVpnIsUnreachableAfterItsTimeLimit) {
  silent(v4(5, 1));
  const auto start = Clock::now();
  const ProbeResult result = probe_server(server(text(5, 1))).value();
  const auto took = Clock::now() - start;
  EXPECT_EQ(result.route, Route::unreachable());
  EXPECT_EQ(result.ip, std::nullopt);
  EXPECT_GE(took, 500ms);
  EXPECT_LT(took, 2s);
}

TEST_F(Probe, UnreachableAtOnce) {
  const std::vector<Server> servers = {
      server(text(6, 1)),                                      // refused
      server(text(6, 1), {{"wg", text(6, 2)}}),                // both refused
      server("nas.local", {{"wg", "10.0.0.300"}, {"x", ""}}),  // nothing parses
      server(""),
  };
  for (const Server& s : servers) {
    const auto start = Clock::now();
    const ProbeResult result = probe_server(s).value();
    EXPECT_EQ(result.server, s);
    EXPECT_EQ(result.route, Route::unreachable()) << s.home_ip;
    EXPECT_EQ(result.ip, std::nullopt) << s.home_ip;
    EXPECT_LT(Clock::now() - start, 400ms) << s.home_ip;
  }
}

// With threads for none or only some of its workers, a probe fails, however
// its started workers answered: the caller keeps what it knew. It still
// waits for every worker it started, so none outlives it.
TEST_F(Probe, AProbeRefusedAWorkerFailsAfterItsStartedWorkersReported) {
  auto cap = test::ThreadCap::create();
  if (!cap) GTEST_SKIP() << "no thread cap here: " << cap.error();
  // The workers that start before a refusal try silent addresses: one that
  // ended at once would free its thread for the next, refused or not.
  silent(v4(9, 1));
  silent(v4(9, 2));
  answering(v4(9, 3));
  const Server s = server(text(9, 1), {{"wg", text(9, 2)}, {"lte", text(9, 3)}});
  const long threads = test::running_threads();
  for (const long workers : {0L, 1L, 2L}) {
    ASSERT_TRUE(test::wait_for_threads_to_end(threads));
    cap->enter_allowing(workers);
    const auto start = Clock::now();
    const ProbeOutcome result = probe_server(s);
    const auto took = Clock::now() - start;
    cap->leave();
    ASSERT_FALSE(result) << workers << " workers";
    EXPECT_EQ(result.error(), (ProbeFailure{ProbeFailure::Cause::ThreadRefused, OsError{EAGAIN}}))
        << workers << " workers";
    // The first worker started tries the silent home address.
    if (workers > 0) {
      EXPECT_GE(took, 500ms) << workers << " workers";
    }
  }
  // With room for all of them, the same probe succeeds.
  ASSERT_TRUE(test::wait_for_threads_to_end(threads));
  cap->enter_allowing(3);
  const ProbeOutcome result = probe_server(s);
  cap->leave();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->route, Route::vpn("lte"));
}

// Out of descriptors, a worker cannot even open its socket: the address was
// never asked, so the probe proves nothing, rather than finding the server
// silent. In a process of its own, as the limit holds for every thread. The
// probe runs once before, so that every first sanitizer check of a type
// (which uses a pipe) is made while descriptors are free.
TEST_F(Probe, AnAddressNotTriedForWantOfDescriptorsMakesTheProbeFail) {
  answering(v4(12, 1));
  const Server s = server(text(12, 1), {{"wg", text(12, 2)}});
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto probe_without_descriptors = [&s]() -> int {
    const ProbeOutcome before = probe_server(s);
    if (!before || before->route != Route::home()) return 6;
    std::optional<ProbeOutcome> without;
    {
      test::NoFreeDescriptors none;
      if (!none.holds()) return 2;
      without = probe_server(s);
    }
    if (*without) {
      std::fprintf(stderr, "probed as %s\n", without->value().ip ? "answering" : "unreachable");
      return 3;
    }
    if (without->error() != ProbeFailure{ProbeFailure::Cause::NoResources, OsError{EMFILE}}) {
      std::fprintf(stderr, "failed with %s\n", without->error().error.text().c_str());
      return 4;
    }
    // With descriptors again, the same probe finds the server.
    const ProbeOutcome with = probe_server(s);
    return with && with->route == Route::home() ? 0 : 5;
  };
  EXPECT_EXIT(std::_Exit(probe_without_descriptors()), ::testing::ExitedWithCode(0), "");
}

// An excluded address is never connected to: the next candidate in order of
// preference wins, or none. The listener shows whether anything arrived.
TEST_F(Probe, ExcludedAddressesAreNeitherTriedNorCountedAsAnswering) {
  answering(v4(10, 1));
  answering(v4(10, 2));
  answering(v4(10, 3));
  const auto excluded = [](const IpAddress& ip) { return ip == IpAddress{v4(10, 1)}; };
  const Server s = server(text(10, 1), {{"wg", text(10, 1)}, {"lte", text(10, 3)}});
  EXPECT_EQ(probe_candidates(s, excluded),
            (std::vector<ProbeCandidate>{{Route::vpn("lte"), IpAddress{v4(10, 3)}}}));

  const ProbeResult result = probe_server(s, excluded).value();
  EXPECT_EQ(result.route, Route::vpn("lte"));
  EXPECT_EQ(result.ip, IpAddress{v4(10, 3)});
  const ProbeResult none = probe_server(server(text(10, 1)), excluded).value();
  EXPECT_EQ(none.route, Route::unreachable());
  EXPECT_EQ(none.ip, std::nullopt);

  pollfd waiting{keep_[1].get(), POLLIN, 0};
  EXPECT_EQ(::poll(&waiting, 1, 0), 0) << "a probe connected to the excluded address";
}

// Far more servers than probes at once, each probe with a refusing and, for
// some, an answering candidate: every result in configuration order. Under a
// cap that leaves room for the bounded probes but not for one at a time per
// server, none is refused.
TEST_F(Probe, ManyServersAreProbedAFewAtATimeInConfigurationOrder) {
  constexpr std::size_t SERVERS = 300;
  constexpr std::size_t AT_ONCE = 4;
  answering(v4(11, 2));
  std::vector<Server> servers;
  for (std::size_t i = 0; i < SERVERS; ++i) {
    Server s = server(text(11, 1), {{"wg", i % 7 == 0 ? text(11, 2) : text(11, 3)}});
    s.name = fmt::format("s{}", i);
    servers.push_back(std::move(s));
  }
  auto cap = test::ThreadCap::create();
  // Each probe thread with its two workers; the rest is room for threads that
  // have been joined but are still on their way out of the kernel.
  if (cap) cap->enter_allowing(static_cast<long>(AT_ONCE * 3 + 24));
  std::vector<ProbeOutcome> results = probe_servers(servers, {}, AT_ONCE);
  if (cap) cap->leave();

  ASSERT_EQ(results.size(), SERVERS);
  for (std::size_t i = 0; i < SERVERS; ++i) {
    ASSERT_TRUE(results[i]) << i << ": " << results[i].error().error.text();
    EXPECT_EQ(results[i]->server, servers[i]) << i;
    if (i % 7 == 0) {
      EXPECT_EQ(results[i]->route, Route::vpn("wg")) << i;
      EXPECT_EQ(results[i]->ip, IpAddress{v4(11, 2)}) << i;
    } else {
      EXPECT_EQ(results[i]->route, Route::unreachable()) << i;
    }
  }
  if (!cap) GTEST_SKIP() << "order checked, but no thread cap here: " << cap.error();
}

TEST_F(Probe, SameAddressAsHomeAndVpnTargetCountsAsHome) {
  answering(v4(7, 1));
  const ProbeResult result = probe_server(server(text(7, 1), {{"wg", text(7, 1)}})).value();
  EXPECT_EQ(result.route, Route::home());
  EXPECT_EQ(result.ip, IpAddress{v4(7, 1)});
}

TEST_F(Probe, LateAnswerReachesAVpnTargetButNotTheHomeAddress) {
  // The address stays silent for 700 ms, then makes room in its accept queue:
  // the next attempt to reach it (a retried SYN) completes after about a second.
  SilentListener& late = silent(v4(8, 1));
  std::thread drain([&] {
    std::this_thread::sleep_for(700ms);
    // Taking the waiting connection off the queue makes room for one more.
    (void)accept_connection(late.listener.get());
  });
  const ProbeResult result = probe_server(server(text(8, 1), {{"wg", text(8, 1)}})).value();
  drain.join();
  EXPECT_EQ(result.route, Route::vpn("wg"));
  EXPECT_EQ(result.ip, IpAddress{v4(8, 1)});
}

TEST_F(Probe, Ipv6LoopbackHome) {
  auto listener = bind_listener({*parse_ip_address("::1"), 0});
  if (!listener) GTEST_SKIP() << "no IPv6 loopback: " << listener.error().text();
  Server s = server("::1");
  s.port = local_address(listener->get())->port;
  const ProbeResult result = probe_server(s).value();
  EXPECT_EQ(result.route, Route::home());
  EXPECT_EQ(result.ip, parse_ip_address("::1"));
}

}  // namespace
}  // namespace tavi
