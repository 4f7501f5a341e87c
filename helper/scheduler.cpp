// The update scheduler: only the installed copy updates itself, a minute after
// start, six hours after each run, and at once when `Update` messages wait.
#include "scheduler.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <climits>
#include <optional>

#include "log_line.hpp"
#include "tavi/platform.hpp"
#include "tavi/update/run.hpp"

namespace tavi {

namespace {

std::optional<std::string> canonical_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace

void run_update_scheduler(SignalReceiver updates) {
  auto executable = platform::executable_path();
  if (!executable) return;
  run_update_scheduler(std::move(updates), default_layout(), *executable, SchedulerDelays{});
}

void run_update_scheduler(SignalReceiver updates, const Layout& layout,
                          const std::string& running_executable, SchedulerDelays delays) {
  // Every way out of these checks is silent: a copy that is not installed
  // never checks for updates.
  const auto running = canonical_path(running_executable);
  if (!running) return;
  const auto installed = canonical_path(layout.installed_executable);
  if (!installed || *running != *installed) return;

  std::chrono::milliseconds wait = delays.first_check;
  for (;;) {
    // Any number of messages queued by now ask for this one run: a burst of
    // requests during a run gives one more run, not one each. A message that
    // came is served even when its senders are gone by now; the next wait
    // then ends the thread.
    if (updates.recv_for(wait) == RecvStatus::Disconnected) return;
    (void)updates.drain();
    auto updated = run_update(*running);
    if (!updated) {
      log_line(fmt::format("pembaruan gagal: {}", updated.error()));
    } else if (*updated) {
      log_line(fmt::format("diperbarui ke {}, memulai ulang", **updated));
      // launchd's KeepAlive starts the new file. Nothing is cleaned up first:
      // other threads are still at work, so no static destructor may run.
      ::_exit(0);
    }
    wait = delays.interval;
  }
}

}  // namespace tavi
