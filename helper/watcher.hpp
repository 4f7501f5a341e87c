// The network watcher: polls the interface addresses and asks the apply loop
// for a cycle when they change. It owns its baseline and its sender; it
// shares nothing else and takes no lock.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "daemon_state.hpp"
#include "tavi/interfaces.hpp"

namespace tavi {

inline constexpr std::chrono::seconds WATCH_INTERVAL{3};
inline constexpr std::chrono::seconds WATCH_SETTLE_DELAY{2};

// Sorted "name=address" texts of the machine's addresses, without loopback
// addresses (127.0.0.0/8, ::1) and without fe80::/16, whose link-local
// addresses come and go with interfaces; duplicates are kept. Empty when the
// list cannot be obtained.
std::vector<std::string> interface_snapshot();
std::vector<std::string> interface_snapshot(const OsResult<std::vector<InterfaceAddress>>& listed);

// Body of the network watcher thread: one message on `recheck` per detected
// change; returns only when a send fails.
void watch_network(SignalSender recheck);

// The same loop over any snapshot source and pauses, so its rules can be
// driven without waiting for the network.
void watch_network(SignalSender recheck, const std::function<std::vector<std::string>()>& snapshot,
                   std::chrono::milliseconds interval, std::chrono::milliseconds settle_delay);

}  // namespace tavi
