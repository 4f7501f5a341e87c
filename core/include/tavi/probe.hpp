// The reachability probe: which of a server's addresses answers right now.
// Every candidate is tried at the same time; the first in order of preference
// that answered wins, whatever the order the answers came in.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "tavi/channel.hpp"
#include "tavi/config.hpp"
#include "tavi/ip.hpp"
#include "tavi/os_error.hpp"
#include "tavi/status.hpp"

namespace tavi {

inline constexpr std::chrono::milliseconds HOME_PROBE_TIMEOUT{600};
inline constexpr std::chrono::milliseconds VPN_PROBE_TIMEOUT{2500};

struct ProbeCandidate {
  Route route;  // Home or Vpn
  IpAddress ip;
  friend bool operator==(const ProbeCandidate&, const ProbeCandidate&) = default;
};

struct ProbeResult {
  Server server;
  Route route;                  // Home, Vpn or Unreachable when probed
  std::optional<IpAddress> ip;  // absent exactly when Unreachable
  friend bool operator==(const ProbeResult&, const ProbeResult&) = default;
};

// (candidate index, connected)
using ProbeMessage = std::pair<std::size_t, bool>;

// The home address, then each VPN target, in order of preference; addresses
// that do not parse (after trimming) are left out.
std::vector<ProbeCandidate> probe_candidates(const Server& server);

// Probes every candidate at once and waits for all of them. Fails only when
// the system refuses a worker thread: the answers of the others then prove
// nothing, and the caller keeps what it knew of the server before.
OsResult<ProbeResult> probe_server(Server server);

// One connection attempt within the route's time limit, then exactly one
// message on the channel.
void probe_candidate(Sender<ProbeMessage> results, Route route, std::size_t index,
                     SocketAddress target);

}  // namespace tavi
