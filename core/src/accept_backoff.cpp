#include "tavi/accept_backoff.hpp"

#include <algorithm>
#include <thread>

namespace tavi {

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
