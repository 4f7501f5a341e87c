#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tavi/platform.hpp"

namespace tavi::platform {

namespace {

#if defined(__APPLE__)
// macOS has neither SOCK_CLOEXEC nor accept4 nor pipe2.
bool set_cloexec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }
#endif

}  // namespace

OsResult<Fd> open_socket(int family, int type) {
#if defined(__APPLE__)
  Fd fd(::socket(family, type, 0));
  if (!fd || !set_cloexec(fd.get())) return std::unexpected(last_os_error());
  return fd;
#else
  Fd fd(::socket(family, type | SOCK_CLOEXEC, 0));
  if (!fd) return std::unexpected(last_os_error());
  return fd;
#endif
}

OsResult<Fd> accept_socket(int listener) {
  for (;;) {
#if defined(__APPLE__)
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) {
      Fd owned(fd);
      if (!set_cloexec(fd)) return std::unexpected(last_os_error());
      return owned;
    }
#else
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Fd(fd);
#endif
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
}

OsResult<std::pair<Fd, Fd>> open_pipe() {
  int ends[2];
#if defined(__APPLE__)
  if (::pipe(ends) != 0) return std::unexpected(last_os_error());
  Fd read_end(ends[0]), write_end(ends[1]);
  if (!set_cloexec(ends[0]) || !set_cloexec(ends[1])) return std::unexpected(last_os_error());
  return std::pair<Fd, Fd>(std::move(read_end), std::move(write_end));
#else
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(last_os_error());
  return std::pair<Fd, Fd>(Fd(ends[0]), Fd(ends[1]));
#endif
}

short spawn_descriptor_flags() {
#if defined(__APPLE__)
  // Descriptors here become close-on-exec a moment after they are made; this
  // keeps whatever another thread opened meanwhile out of the child.
  return POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
  return 0;
#endif
}

}  // namespace tavi::platform
