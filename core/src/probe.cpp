#include "tavi/probe.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#include "tavi/socket.hpp"
#include "tavi/text.hpp"
#include "tavi/thread.hpp"

namespace tavi {

std::vector<ProbeCandidate> probe_candidates(const Server& server, const NeverAnswers& excluded) {
  std::vector<ProbeCandidate> candidates;
  const auto add = [&](Route route, std::string_view text) {
    const std::optional<IpAddress> ip = parse_ip_address(trim_white_space(text));
    if (ip && !(excluded && excluded(*ip))) candidates.push_back({std::move(route), *ip});
  };
  add(Route::home(), server.home_ip);
  for (const VpnTarget& target : server.vpn) add(Route::vpn(target.label), target.ip);
  return candidates;
}

ProbeOutcome probe_server(Server server, const NeverAnswers& excluded) {
  const std::vector<ProbeCandidate> candidates = probe_candidates(server, excluded);
  auto [sender, receiver] = make_channel<ProbeMessage>();
  std::vector<std::thread> workers;
  workers.reserve(candidates.size());
  std::optional<OsError> refused;
  for (std::size_t i = 0; i < candidates.size() && !refused; ++i) {
    const SocketAddress target{candidates[i].ip, server.port};
    // A refused worker's copy of the sender goes with it.
    auto started = try_spawn_joinable([sender, route = candidates[i].route, i, target]() mutable {
      probe_candidate(std::move(sender), std::move(route), i, target);
    });
    if (started) {
      workers.push_back(std::move(*started));
    } else {
      refused = started.error();
    }
  }
  // From here on the channel disconnects once the last worker has reported.
  sender.release();

  std::vector<bool> reached(candidates.size(), false);
  std::optional<OsError> untried;
  while (std::optional<ProbeMessage> message = receiver.recv()) {
    if (message->first >= reached.size()) continue;
    if (message->second) {
      reached[message->first] = *message->second;
    } else {
      untried = message->second.error();
    }
  }
  // Even after a refusal every started worker is awaited, and joined rather
  // than only heard from: once a probe returns its threads are gone, so a
  // bounded number of probes holds a bounded number of threads.
  for (std::thread& worker : workers) worker.join();
  if (refused) return std::unexpected(ProbeFailure{ProbeFailure::Cause::ThreadRefused, *refused});
  if (untried) return std::unexpected(ProbeFailure{ProbeFailure::Cause::NoResources, *untried});

  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (reached[i]) return ProbeResult{std::move(server), candidates[i].route, candidates[i].ip};
  }
  return ProbeResult{std::move(server), Route::unreachable(), std::nullopt};
}

std::vector<ProbeOutcome> probe_servers(const std::vector<Server>& servers,
                                        const NeverAnswers& excluded, std::size_t at_once) {
  // A fixed set of probe threads, each taking the next server not yet taken
  // until none is left: however many servers there are, no more than
  // `at_once` probes run, and every server is probed.
  std::vector<std::optional<ProbeOutcome>> outcomes(servers.size());
  std::atomic<std::size_t> next{0};
  const auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < servers.size();) {
      outcomes[i] = probe_server(servers[i], excluded);
    }
  };
  std::vector<std::thread> threads;
  std::optional<OsError> refused;
  const std::size_t wanted = std::min(std::max<std::size_t>(at_once, 1), servers.size());
  while (threads.size() < wanted) {
    OsResult<std::thread> started = try_spawn_joinable(run);
    if (!started) {
      // The system is short of threads: the ones running share the servers.
      refused = started.error();
      break;
    }
    threads.push_back(std::move(*started));
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<ProbeOutcome> results;
  results.reserve(servers.size());
  for (std::optional<ProbeOutcome>& outcome : outcomes) {
    if (outcome) {
      results.push_back(std::move(*outcome));
    } else {
      // Left without an outcome only when no probe thread could start at all.
      results.push_back(
          std::unexpected(ProbeFailure{ProbeFailure::Cause::ThreadRefused, *refused}));
    }
  }
  return results;
}

void probe_candidate(Sender<ProbeMessage> results, Route route, std::size_t index,
                     SocketAddress target) {
  const auto limit = route.kind == Route::Kind::Home ? HOME_PROBE_TIMEOUT : VPN_PROBE_TIMEOUT;
  OsResult<bool> connected = true;
  // The connection, if made, closes at once: nothing is sent or read.
  if (const OsResult<Fd> connection = connect_with_timeout(target, limit); !connection) {
    // No descriptor or memory for the attempt (socket() refused, say) is no
    // answer from the server: it was never asked.
    if (is_resource_shortage(connection.error())) {
      connected = std::unexpected(connection.error());
    } else {
      connected = false;
    }
  }
  (void)results.send({index, std::move(connected)});
  results.release();
}

}  // namespace tavi
