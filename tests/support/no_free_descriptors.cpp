#include "no_free_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tavi::test {

NoFreeDescriptors::NoFreeDescriptors() {
  const int lowest_free = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
  if (lowest_free < 0 || ::getrlimit(RLIMIT_NOFILE, &before_) != 0) {
    if (lowest_free >= 0) ::close(lowest_free);
    return;
  }
  ::close(lowest_free);
  rlimit none = before_;
  none.rlim_cur = static_cast<rlim_t>(lowest_free);
  lowered_ = ::setrlimit(RLIMIT_NOFILE, &none) == 0;
  const int another = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
  holds_ = lowered_ && another == -1 && errno == EMFILE;
  if (another >= 0) ::close(another);
}

NoFreeDescriptors::~NoFreeDescriptors() {
  if (lowered_) ::setrlimit(RLIMIT_NOFILE, &before_);
}

}  // namespace tavi::test
