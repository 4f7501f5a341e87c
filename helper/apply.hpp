// One pass of the apply loop: probe every server, decide where its names
// point and which ports are forwarded, make the forward table, the forward
// listeners and the hosts block match, then store the statuses.
//
// Locks: the DaemonState mutex is taken only to copy the configuration with
// its statuses (which a server keeps when its probe cannot start) and to
// commit the new statuses; the ForwardTable's write lock only to swap its
// content.
// Neither is held while the other is taken. The ListenerMap belongs to the
// apply loop's thread alone and needs no lock.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "daemon_state.hpp"
#include "forward.hpp"
#include "port_mappings.hpp"
#include "tavi/layout.hpp"

namespace tavi {

// Time limit of the connection that wakes a forward listener being stopped.
inline constexpr std::chrono::milliseconds LISTENER_WAKE_TIMEOUT{200};

// Built new by every pass: each planned listen address, with the target it
// forwards to, or none while its server is unreachable.
using ForwardPlan = std::unordered_map<SocketAddress, std::optional<SocketAddress>>;

// The stop flag of every forward listener started and not yet told to stop.
using ListenerMap = std::unordered_map<SocketAddress, std::shared_ptr<StopFlag>>;

// One pass. `layout` names the alias and cache-flush programs.
void apply_cycle(DaemonState& state, const std::shared_ptr<ForwardTable>& table,
                 ListenerMap& listeners, const Layout& layout = default_layout());

// Stores `status` while the configuration still equals `snapshot`; otherwise
// it is discarded. True when stored.
bool commit_status(DaemonState& state, const Config& snapshot, std::vector<ServerStatus> status);

}  // namespace tavi
