#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tavi/platform.hpp"

namespace tavi::platform {

OsResult<void> sync_file(int fd) {
#if defined(__APPLE__)
  // On macOS fsync only hands the data to the drive, which may keep it in its
  // cache through a power cut; F_FULLFSYNC also has the drive write it out.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
  // File systems without it (SMB, WebDAV, FUSE) refuse it with one of these;
  // fsync is then the most they offer. Any other error is the sync's own.
  if (errno != ENOTSUP && errno != ENOTTY && errno != EINVAL) {
    return std::unexpected(last_os_error());
  }
#endif
  if (::fsync(fd) != 0) return std::unexpected(last_os_error());
  return {};
}

}  // namespace tavi::platform
