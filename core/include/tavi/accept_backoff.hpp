// The pause an accept loop makes while the system has no descriptor or
// memory left for a new connection: such an accept fails at once, even with
// nothing waiting, and retrying at once would only burn a core.
#pragma once

#include <chrono>

#include "tavi/os_error.hpp"

namespace tavi {

inline constexpr std::chrono::milliseconds ACCEPT_BACKOFF_FIRST{5};
inline constexpr std::chrono::milliseconds ACCEPT_BACKOFF_LONGEST{1000};

// One per accept loop. After a shortage the pause starts at
// ACCEPT_BACKOFF_FIRST and doubles up to ACCEPT_BACKOFF_LONGEST; any other
// failure is retried at once and leaves the pause as it was; an accepted
// connection starts it afresh.
class AcceptBackoff {
 public:
  // How long to wait before the next accept after `error`.
  std::chrono::milliseconds pause_after(const OsError& error);
  // Sleeps for pause_after(error).
  void wait_after(const OsError& error);
  void connection_accepted() { next_ = ACCEPT_BACKOFF_FIRST; }

 private:
  std::chrono::milliseconds next_ = ACCEPT_BACKOFF_FIRST;
};

}  // namespace tavi
