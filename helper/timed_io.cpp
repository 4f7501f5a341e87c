#include "timed_io.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace tavi {

namespace {

using Clock = std::chrono::steady_clock;

// Whether `events` come on `fd` before `deadline`.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd waited{fd, events, 0};
    const int ready =
        ::poll(&waited, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool wait_readable(int fd, std::chrono::milliseconds limit) {
  return wait_for(fd, POLLIN, Clock::now() + limit);
}

bool send_all_within(int fd, std::string_view bytes, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  while (!bytes.empty()) {
    if (!wait_for(fd, POLLOUT, deadline)) return false;
    // Never blocks past the deadline: only what the socket takes now is sent.
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace tavi
