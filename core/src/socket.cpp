#include "tavi/socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "tavi/platform.hpp"

namespace tavi {

namespace {

int family_of(const SocketAddress& address) {
  return std::holds_alternative<Ipv4Address>(address.ip) ? AF_INET : AF_INET6;
}

bool set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, wanted) == 0;
}

}  // namespace

OsResult<Fd> connect_with_timeout(const SocketAddress& target, std::chrono::milliseconds limit) {
  auto socket = platform::open_socket(family_of(target), SOCK_STREAM);
  if (!socket) return socket;
  Fd fd = std::move(*socket);
  if (!set_blocking(fd.get(), false)) return std::unexpected(last_os_error());

  const SockaddrBuffer address = to_sockaddr(target);
  if (::connect(fd.get(), address.get(), address.length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return std::unexpected(last_os_error());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::unexpected(OsError{ETIMEDOUT});
      pollfd wait{fd.get(), POLLOUT, 0};
      const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return std::unexpected(last_os_error());
      if (ready == 0) continue;  // the loop sees the deadline
      break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      return std::unexpected(last_os_error());
    }
    if (error != 0) return std::unexpected(OsError{error});
  }
  if (!set_blocking(fd.get(), true)) return std::unexpected(last_os_error());
  return fd;
}

OsResult<Fd> bind_listener(const SocketAddress& address, int backlog) {
  auto socket = platform::open_socket(family_of(address), SOCK_STREAM);
  if (!socket) return socket;
  Fd fd = std::move(*socket);
  const int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return std::unexpected(last_os_error());
  }
  const SockaddrBuffer sockaddr = to_sockaddr(address);
  if (::bind(fd.get(), sockaddr.get(), sockaddr.length) != 0) return std::unexpected(last_os_error());
  if (::listen(fd.get(), backlog) != 0) return std::unexpected(last_os_error());
  return fd;
}

OsResult<Fd> accept_connection(int listener) { return platform::accept_socket(listener); }

OsResult<Fd> duplicate_fd(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(last_os_error());
  return Fd(copy);
}

bool set_nodelay(int fd) {
  const int on = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool set_receive_timeout(int fd, std::chrono::milliseconds limit) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

void shutdown_write(int fd) { (void)::shutdown(fd, SHUT_WR); }
void shutdown_read(int fd) { (void)::shutdown(fd, SHUT_RD); }

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), 0);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

OsResult<SocketAddress> local_address(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return std::unexpected(last_os_error());
  }
  auto address = from_sockaddr(reinterpret_cast<const sockaddr*>(&storage));
  if (!address) return std::unexpected(OsError{EAFNOSUPPORT});
  return *address;
}

}  // namespace tavi
