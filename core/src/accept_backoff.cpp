#include "tavi/accept_backoff.hpp"

#include <algorithm>
#include <cerrno>
#include <thread>

namespace tavi {

bool is_resource_shortage(const OsError& error) {
  switch (error.code) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

std::chrono::milliseconds AcceptBackoff::pause_after(const OsError& error) {
  if (!is_resource_shortage(error)) return std::chrono::milliseconds::zero();
  const std::chrono::milliseconds pause = next_;
  next_ = std::min(next_ * 2, ACCEPT_BACKOFF_LONGEST);
  return pause;
}

void AcceptBackoff::wait_after(const OsError& error) {
  std::this_thread::sleep_for(pause_after(error));
}

}  // namespace tavi
