#include "tavi/probe.hpp"

#include "tavi/socket.hpp"
#include "tavi/text.hpp"
#include "tavi/thread.hpp"

namespace tavi {

std::vector<ProbeCandidate> probe_candidates(const Server& server) {
  std::vector<ProbeCandidate> candidates;
  if (auto home = parse_ip_address(trim_white_space(server.home_ip))) {
    candidates.push_back({Route::home(), *home});
  }
  for (const VpnTarget& target : server.vpn) {
    if (auto ip = parse_ip_address(trim_white_space(target.ip))) {
      candidates.push_back({Route::vpn(target.label), *ip});
    }
  }
  return candidates;
}

OsResult<ProbeResult> probe_server(Server server) {
  const std::vector<ProbeCandidate> candidates = probe_candidates(server);
  auto [sender, receiver] = make_channel<ProbeMessage>();
  std::optional<OsError> refused;
  for (std::size_t i = 0; i < candidates.size() && !refused; ++i) {
    const SocketAddress target{candidates[i].ip, server.port};
    // A refused worker's copy of the sender goes with it.
    auto started = try_spawn_detached([sender, route = candidates[i].route, i, target]() mutable {
      probe_candidate(std::move(sender), std::move(route), i, target);
    });
    if (!started) refused = started.error();
  }
  // From here on the channel disconnects once the last worker has reported.
  sender.release();

  // Even after a refusal every started worker is awaited, so none outlives
  // its probe to compete with the next cycle's.
  std::vector<bool> reached(candidates.size(), false);
  while (std::optional<ProbeMessage> message = receiver.recv()) {
    if (message->first < reached.size()) reached[message->first] = message->second;
  }
  if (refused) return std::unexpected(*refused);

  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (reached[i]) return ProbeResult{std::move(server), candidates[i].route, candidates[i].ip};
  }
  return ProbeResult{std::move(server), Route::unreachable(), std::nullopt};
}

void probe_candidate(Sender<ProbeMessage> results, Route route, std::size_t index,
                     SocketAddress target) {
  const auto limit = route.kind == Route::Kind::Home ? HOME_PROBE_TIMEOUT : VPN_PROBE_TIMEOUT;
  // The connection, if made, closes at once: nothing is sent or read.
  const bool connected = connect_with_timeout(target, limit).has_value();
  (void)results.send({index, connected});
  results.release();
}

}  // namespace tavi
