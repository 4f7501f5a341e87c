#include "tavi/fd.hpp"

#include <unistd.h>

namespace tavi {

void Fd::reset(int fd) {
  // close() is not retried on EINTR: the descriptor is gone either way.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace tavi
