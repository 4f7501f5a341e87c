#include "apply.hpp"

#include <fmt/format.h>

#include "log_line.hpp"
#include "pool.hpp"
#include "tavi/hosts.hpp"
#include "tavi/probe.hpp"
#include "tavi/process.hpp"
#include "tavi/socket.hpp"
#include "tavi/text.hpp"
#include "tavi/thread.hpp"

namespace tavi {

namespace {

// What one pass decided, before anything outside it changes.
struct PassPlan {
  std::vector<HostsEntry> hosts;
  std::vector<ServerStatus> status;
  ForwardPlan forwards;
};

// A pass's copy of the shared state: the configuration, and the statuses
// last stored for it, which a server keeps when its probe proves nothing.
struct Snapshot {
  Config config;
  std::vector<ServerStatus> status;
};

Snapshot take_snapshot(DaemonState& state) {
  std::lock_guard lock(state.mutex);
  return {state.config, state.status};
}

// The route and address of the server's last stored status, standing in for a
// probe that proved nothing, while that address is still one of the
// server's candidates under the same route (for Vpn, the same label). A
// SetConfig that kept the name but changed the addresses carries the old
// status over; its address is no longer configured and must be neither
// published nor forwarded to. Otherwise the server is Unknown, with no
// address, for this pass.
ProbeResult last_known(const Server& server, const std::vector<ServerStatus>& status,
                       std::size_t index, const NeverAnswers& excluded) {
  ProbeResult kept{server, Route::unknown(), std::nullopt};
  if (index >= status.size() || !status[index].ip) return kept;
  const std::optional<IpAddress> ip = parse_ip_address(*status[index].ip);
  for (const ProbeCandidate& candidate : probe_candidates(server, excluded)) {
    if (ip == candidate.ip && status[index].route == candidate.route) {
      kept.route = candidate.route;
      kept.ip = candidate.ip;
      break;
    }
  }
  return kept;
}

// The failures of one kind in a pass: the first one's name and reason, and
// how many more. One line a pass for each kind, however many servers there
// are: a line each would let one configuration of tens of thousands of
// servers fill the log every 30 seconds.
class PassFailures {
 public:
  // `what` starts the line, before the first name; `others` names the rest.
  PassFailures(std::string_view what, std::string_view others) : what_(what), others_(others) {}
  void add(std::string_view name, const OsError& error) {
    if (count_++ == 0) first_ = {std::string(name), error};
  }
  // The pass's line, if anything failed.
  void report() const {
    if (count_ == 0) return;
    const std::string more =
        count_ > 1 ? fmt::format(" dan {} {} lain", count_ - 1, others_) : std::string();
    log_line(fmt::format("{} {}{}: {}", what_, first_.first, more, first_.second.text()));
  }

 private:
  std::string_view what_;
  std::string_view others_;
  std::size_t count_ = 0;
  std::pair<std::string, OsError> first_{};
};

// At most PROBES_AT_ONCE probes run at a time; the results come back in
// configuration order. A probe that proves nothing (a thread refused, its own
// or a worker's, or no descriptor or memory to try an address with) is
// reported and the server keeps its last route for this pass.
std::vector<ProbeResult> probe_all(const Snapshot& snapshot, const NeverAnswers& excluded) {
  const std::vector<Server>& servers = snapshot.config.servers;
  std::vector<ProbeOutcome> outcomes = probe_servers(servers, excluded);
  std::vector<ProbeResult> results;
  results.reserve(servers.size());
  PassFailures refused("tidak bisa memulai thread probe untuk", "server");
  PassFailures untried("tidak bisa memprobe", "server");
  for (std::size_t i = 0; i < servers.size(); ++i) {
    ProbeOutcome& outcome = outcomes[i];
    if (outcome) {
      results.push_back(std::move(*outcome));
      continue;
    }
    PassFailures& failures =
        outcome.error().cause == ProbeFailure::Cause::ThreadRefused ? refused : untried;
    failures.add(servers[i].name, outcome.error().error);
    results.push_back(last_known(servers[i], snapshot.status, i, excluded));
  }
  refused.report();
  untried.report();
  return results;
}

// White space inside a stored name would split one host name into several
// on the hosts line, so it is left out of what is published.
HostsEntry hosts_entry(std::string ip, const Server& server, const std::string& domain) {
  HostsEntry entry{std::move(ip), {}};
  for (const std::string& name : host_names(server, domain)) {
    entry.names.push_back(remove_white_space(name));
  }
  return entry;
}

PassPlan plan_pass(const Config& snapshot, const std::vector<ProbeResult>& results) {
  PassPlan plan;
  std::size_t k = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Server& server = snapshot.servers[i];
    const ProbeResult& probed = results[i];
    const std::optional<std::string> answered =
        probed.ip ? std::optional(format_ip_address(*probed.ip)) : std::nullopt;

    const std::vector<PortMapping> mappings = port_mappings(server);
    const std::optional<Ipv4Address> own = mappings.empty() ? std::nullopt : loopback_address(k);
    if (own) {
      plan.hosts.push_back(hosts_entry(format_ip_address(*own), server, snapshot.domain));
      ++k;
      for (const PortMapping& mapping : mappings) {
        std::optional<SocketAddress> target;
        if (probed.ip) target = SocketAddress{*probed.ip, mapping.target, 0};
        plan.forwards[SocketAddress{*own, mapping.listen, 0}] = target;
      }
    } else if (answered) {
      plan.hosts.push_back(hosts_entry(*answered, server, snapshot.domain));
    }
    plan.status.push_back(
        ServerStatus{server.name, server.name + "." + snapshot.domain, answered, probed.route});
  }
  return plan;
}

void replace_forward_table(ForwardTable& table, const ForwardPlan& plan) {
  ForwardMap content;
  for (const auto& [listen, target] : plan) {
    if (target) content.emplace(listen, *target);
  }
  table.replace(std::move(content));
}

void stop_unplanned_listeners(ListenerMap& listeners, const ForwardPlan& plan) {
  for (auto it = listeners.begin(); it != listeners.end();) {
    if (plan.contains(it->first)) {
      ++it;
      continue;
    }
    it->second->store(true, std::memory_order_release);
    // The listener sits in accept; this connection lets it see the flag.
    (void)connect_with_timeout(it->first, LISTENER_WAKE_TIMEOUT);
    it = listeners.erase(it);
  }
}

OsResult<Fd> bind_forward_listener(const SocketAddress& listen, const Layout& layout) {
  auto bound = bind_listener(listen);
  if (bound || bound.error().code != EADDRNOTAVAIL) return bound;
  // A pool address that lo0 does not carry yet; the second bind tells
  // whether the alias helped.
  (void)run_process(layout.ifconfig, {"lo0", "alias", format_ip_address(listen.ip), "up"});
  return bind_listener(listen);
}

void start_planned_listeners(ListenerMap& listeners, const ForwardPlan& plan,
                             const std::shared_ptr<ForwardTable>& table, const Layout& layout) {
  PassFailures refused("tidak bisa memulai thread forward listener untuk", "alamat");
  for (const auto& [listen, target] : plan) {
    if (listeners.contains(listen)) continue;
    auto bound = bind_forward_listener(listen, layout);
    if (!bound) {
      log_line(fmt::format("tidak bisa membuka {}: {}", format_socket_address(listen),
                           bound.error().text()));
      continue;
    }
    auto stop = std::make_shared<StopFlag>(false);
    auto started = try_spawn_detached([listen, table, stop, socket = std::move(*bound)]() mutable {
      run_forward_listener(listen, table, stop, std::move(socket));
    });
    if (!started) {
      // The refused body closed the socket; nothing is recorded, so the next
      // pass binds the address again.
      refused.add(format_socket_address(listen), started.error());
      continue;
    }
    listeners.emplace(listen, std::move(stop));
  }
  refused.report();
}

void write_hosts(const std::vector<HostsEntry>& entries, const Layout& layout) {
  const Result<bool> changed = write_hosts_block(hosts_path(), entries);
  if (!changed) {
    log_line(fmt::format("gagal menulis hosts: {}", changed.error()));
  } else if (*changed) {
    flush_dns_cache(layout);
  }
}

}  // namespace

bool commit_status(DaemonState& state, const Config& snapshot, std::vector<ServerStatus> status) {
  std::lock_guard lock(state.mutex);
  if (state.config != snapshot) return false;
  state.status = std::move(status);
  return true;
}

void apply_cycle(DaemonState& state, const std::shared_ptr<ForwardTable>& table,
                 ListenerMap& listeners, const Layout& layout) {
  const Snapshot snapshot = take_snapshot(state);
  // A connection to one of the pool's addresses comes back to a forward
  // listener of this daemon, which would forward it again, and again. No
  // such address is probed, so none answers: every address the pass
  // publishes, forwards to or keeps from before is one of the candidates,
  // and none of them is in the pool, whatever the servers point at.
  const NeverAnswers own_pool = [pool = loopback_pool()](const IpAddress& ip) {
    return is_pool_address(pool, ip);
  };
  PassPlan plan = plan_pass(snapshot.config, probe_all(snapshot, own_pool));
  replace_forward_table(*table, plan.forwards);
  stop_unplanned_listeners(listeners, plan.forwards);
  start_planned_listeners(listeners, plan.forwards, table, layout);
  write_hosts(plan.hosts, layout);
  commit_status(state, snapshot.config, std::move(plan.status));
}

}  // namespace tavi
