#include "stream.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace tavi::test {

std::string read_until_closed(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace tavi::test
