// Runs the update scheduler alone, for the end-to-end tests, since it ends its
// process after an installed update. Arguments: installed path, running path,
// first delay and interval in milliseconds, the number of `Update` messages
// queued at start, "keep" or "release" for the channel's last sender, and
// optionally a FIFO: every byte read from it sends one more message, and at its
// end that sender is released and "<fifo>.read" is created.
// Exits with 3 when the scheduler returns.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "scheduler.hpp"
#include "tavi/thread.hpp"

namespace {

void send_per_byte(const std::string& fifo, tavi::SignalSender sender) {
  const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::_Exit(2);
  char bytes[64];
  for (;;) {
    const ssize_t got = ::read(fd, bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) sender.send(tavi::Signal{});
  }
  ::close(fd);
  sender.release();
  const int done = ::open((fifo + ".read").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (done < 0) std::_Exit(2);
  ::close(done);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 && argc != 8) return 2;
  tavi::Layout layout;
  layout.installed_executable = argv[1];
  const std::string running = argv[2];
  const tavi::SchedulerDelays delays{
      .first_check = std::chrono::milliseconds(std::atoll(argv[3])),
      .interval = std::chrono::milliseconds(std::atoll(argv[4])),
  };
  auto [sender, receiver] = tavi::make_channel<tavi::Signal>();
  for (int i = std::atoi(argv[5]); i > 0; --i) sender.send(tavi::Signal{});
  if (argc == 8) {
    std::thread([fifo = std::string(argv[7]), copy = sender]() mutable {
      send_per_byte(fifo, std::move(copy));
    }).detach();
  }
  if (std::string(argv[6]) == "release") sender.release();

  std::thread scheduler = tavi::spawn_joinable("update scheduler", [&] {
    tavi::run_update_scheduler(std::move(receiver), layout, running, delays);
  });
  scheduler.join();
  return 3;
}
