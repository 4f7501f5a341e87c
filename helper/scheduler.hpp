// The update scheduler thread.
#pragma once

#include <chrono>
#include <string>

#include "daemon_state.hpp"
#include "tavi/layout.hpp"

namespace tavi {

inline constexpr std::chrono::milliseconds FIRST_CHECK_DELAY = std::chrono::seconds(60);
inline constexpr std::chrono::milliseconds CHECK_INTERVAL = std::chrono::hours(6);

struct SchedulerDelays {
  std::chrono::milliseconds first_check = FIRST_CHECK_DELAY;
  std::chrono::milliseconds interval = CHECK_INTERVAL;
};

// Body of the update scheduler thread; returns when the running executable is
// not the installed one or every sender is gone, ends the process after an
// installed update.
void run_update_scheduler(SignalReceiver updates);

// The same for tests: `running_executable` stands for the path the system
// reports, `layout` names the installed path.
void run_update_scheduler(SignalReceiver updates, const Layout& layout,
                          const std::string& running_executable, SchedulerDelays delays);

}  // namespace tavi
