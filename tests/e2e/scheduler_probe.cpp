// Runs the update scheduler alone, for the end-to-end tests, since it ends its
// process after an installed update. Arguments: installed path, running path,
// first delay and interval in milliseconds, the number of `Update` messages
// queued at start, and "keep" or "release" for the channel's last sender.
// Exits with 3 when the scheduler returns.
#include <cstdlib>
#include <string>

#include "scheduler.hpp"
#include "tavi/thread.hpp"

int main(int argc, char** argv) {
  if (argc != 7) return 2;
  tavi::Layout layout;
  layout.installed_executable = argv[1];
  const std::string running = argv[2];
  const tavi::SchedulerDelays delays{
      .first_check = std::chrono::milliseconds(std::atoll(argv[3])),
      .interval = std::chrono::milliseconds(std::atoll(argv[4])),
  };
  auto [sender, receiver] = tavi::make_channel<tavi::Signal>();
  for (int i = std::atoi(argv[5]); i > 0; --i) sender.send(tavi::Signal{});
  if (std::string(argv[6]) == "release") sender.release();

  std::thread scheduler = tavi::spawn_joinable("update scheduler", [&] {
    tavi::run_update_scheduler(std::move(receiver), layout, running, delays);
  });
  scheduler.join();
  return 3;
}
