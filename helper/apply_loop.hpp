// The apply loop: one cycle at once, then one cycle per wake-up, a wake-up
// being a recheck message or the end of the wait.
#pragma once

#include <chrono>
#include <functional>

#include "daemon_state.hpp"

namespace tavi {

// Longest wait between the end of one cycle and the start of the next.
inline constexpr std::chrono::seconds APPLY_INTERVAL{30};

// Runs `cycle` at once and then after every wake-up; every message queued by
// then counts as one. In the daemon a sender lives as long as the process, so
// this never returns; it returns only once every sender is gone.
void run_apply_loop(SignalReceiver& recheck, std::chrono::steady_clock::duration interval,
                    const std::function<void()>& cycle);

}  // namespace tavi
