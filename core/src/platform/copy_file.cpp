#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tavi/platform.hpp"
#include "tavi/whole_file.hpp"

#if defined(__APPLE__)
#include <sys/clonefile.h>
#else
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace tavi::platform {

namespace {

std::unexpected<std::string> last_error() { return fail(os_error_text(errno)); }

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes the source from its current offset to its end into the destination.
bool copy_data(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!write_all(to, std::string_view(buffer, static_cast<std::size_t>(n)))) return false;
  }
}

}  // namespace

Result<void> copy_file(const std::string& source, const std::string& destination) {
  // O_NONBLOCK so that a FIFO is refused below instead of waiting for a writer.
  Fd from(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!from) return last_error();
  struct stat source_status;
  if (::fstat(from.get(), &source_status) != 0) return last_error();
  if (!S_ISREG(source_status.st_mode)) {
    return fail("the source path is neither a regular file nor a symlink to a regular file");
  }

  // Only the very file stands for itself: a link at the destination is
  // replaced like any other file.
  struct stat destination_status;
  if (::lstat(destination.c_str(), &destination_status) == 0) {
    if (same_file(source_status, destination_status)) return {};
    // Never written into: a file there keeps its owner when truncated, and a
    // hard link would carry the copy to its other names.
    if (::unlink(destination.c_str()) != 0 && errno != ENOENT) return last_error();
  }
#if defined(__APPLE__)
  // CLONE_NOOWNERCOPY matters: without it a clone made by root keeps the
  // source's owner, so `sudo tavi-helper install` run from a user's folder
  // would leave the root daemon's executable writable by that user.
  if (::fclonefileat(from.get(), AT_FDCWD, destination.c_str(), CLONE_NOOWNERCOPY) == 0) {
    // The clone is renamed into place next: it must reach the disk first.
    Fd clone(::open(destination.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!clone) return last_error();
    if (auto synced = sync_file(clone.get()); !synced) return fail(synced.error().text());
    return {};
  }
#endif

  // Created here, so it belongs to whoever copies; private until its mode is set.
  Fd to(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!to) return last_error();
#if !defined(__APPLE__)
  const bool cloned = ::ioctl(to.get(), FICLONE, from.get()) == 0;
#else
  const bool cloned = false;
#endif
  if (!cloned && !copy_data(from.get(), to.get())) return last_error();
  if (::fchmod(to.get(), source_status.st_mode & 07777) != 0) return last_error();
  if (auto synced = sync_file(to.get()); !synced) return fail(synced.error().text());
  if (::close(to.release()) != 0) return last_error();
  return {};
}

}  // namespace tavi::platform
