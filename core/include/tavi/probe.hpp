// The reachability probe: which of a server's addresses answers right now.
// Every candidate is tried at the same time; the first in order of preference
// that answered wins, whatever the order the answers came in.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
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

// Why a probe proves nothing of its server, so that the caller keeps what it
// knew: the system refused a worker thread, or had no descriptor or memory to
// try a candidate with (is_resource_shortage). Neither is an answer of the
// server's.
struct ProbeFailure {
  enum class Cause { ThreadRefused, NoResources };
  Cause cause;
  OsError error;
  friend bool operator==(const ProbeFailure&, const ProbeFailure&) = default;
};

using ProbeOutcome = std::expected<ProbeResult, ProbeFailure>;

// (candidate index, connected), or the shortage that kept the candidate from
// being tried at all.
using ProbeMessage = std::pair<std::size_t, OsResult<bool>>;

// How many probes run at once, each with a worker per candidate. Probes of
// addresses that refuse at once end within a millisecond, so tens of
// thousands of servers still take seconds, and a configuration that fills the
// whole loopback pool (253 forwarded servers) is probed in one go, its pass as
// long as its slowest probe. For a server with a home and a VPN address that
// is some 768 threads: well within what one process may run, with room left
// for forwarded and control connections.
inline constexpr std::size_t PROBES_AT_ONCE = 256;

// Addresses that never count as answering: the daemon's own listen
// addresses, where the connection would come back to the daemon itself.
using NeverAnswers = std::function<bool(const IpAddress&)>;

// The home address, then each VPN target, in order of preference; addresses
// that do not parse (after trimming), and those `excluded` names, are left
// out.
std::vector<ProbeCandidate> probe_candidates(const Server& server,
                                             const NeverAnswers& excluded = {});

// Probes every candidate at once and waits for all of them to end. Fails only
// when the system refuses a worker thread, or a candidate could not be tried
// for a shortage of descriptors or memory: the answers of the others then
// prove nothing, and the caller keeps what it knew of the server before.
ProbeOutcome probe_server(Server server, const NeverAnswers& excluded = {});

// Every server's probe, in configuration order, at most `at_once` of them at
// a time. A server gets the system's refusal of a thread only when no probe
// thread at all could start, or when its own probe was refused a worker.
std::vector<ProbeOutcome> probe_servers(const std::vector<Server>& servers,
                                        const NeverAnswers& excluded = {},
                                        std::size_t at_once = PROBES_AT_ONCE);

// One connection attempt within the route's time limit, then exactly one
// message on the channel: whether it connected, or the shortage that kept it
// from being made.
void probe_candidate(Sender<ProbeMessage> results, Route route, std::size_t index,
                     SocketAddress target);

}  // namespace tavi
