#include "tavi/update/staging.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tavi/os_error.hpp"
#include "tavi/path.hpp"
#include "tavi/text.hpp"

namespace tavi {

namespace {

std::size_t component_start(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// Where the extension's '.' stands in `path`, if the last component has one
// (the component being all after the last '/': staged_paths refuses names
// that replace_extension would look past).
std::size_t extension_dot(std::string_view path) {
  const std::size_t start = component_start(path);
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= start) return std::string_view::npos;
  return dot;
}

// A lock file left by older code, or put there by someone else, may be open
// to other users, who could then hold its lock and block every update. It is
// made private in place rather than replaced: a run holding the lock on the
// old file would then hold one no longer at the path, and a second run could
// lock the new file beside it. Only a plain file that has no other name is
// ours to fix up: through a hard link planted at the path, the owner and mode
// of someone else's file (the hosts file, say) would change with it. Anything
// else fails the run, as a folder or a link in its place does; replacing it
// would race a run that holds it. A file that is already private needs no
// change, whatever links it has, so a link to it cannot stop every update.
// Owner first, since chown may clear mode bits.
OsResult<void> make_private(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(last_os_error());
  const bool owner_wrong = status.st_uid != ::geteuid() || status.st_gid != ::getegid();
  const bool mode_wrong = (status.st_mode & 07777) != 0600;
  if (!owner_wrong && !mode_wrong) return {};
  if (!S_ISREG(status.st_mode)) return std::unexpected(OsError{EEXIST});
  // Without a name it was removed since it was opened: no longer the lock.
  if (status.st_nlink == 0) return std::unexpected(OsError{ENOENT});
  if (status.st_nlink > 1) return std::unexpected(OsError{EMLINK});
  if (owner_wrong && ::fchown(fd, ::geteuid(), ::getegid()) != 0) {
    return std::unexpected(last_os_error());
  }
  if (mode_wrong && ::fchmod(fd, 0600) != 0) return std::unexpected(last_os_error());
  return {};
}

}  // namespace

Result<StagedPaths> staged_paths(const std::string& executable) {
  const std::string_view name = std::string_view(executable).substr(component_start(executable));
  const std::size_t dot = extension_dot(executable);
  const std::string_view extension = dot == std::string_view::npos
                                         ? std::string_view()
                                         : std::string_view(executable).substr(dot + 1);
  bool refused = name.empty() || name == "." || name == "..";
  for (std::string_view staged : {DOWNLOAD_EXTENSION, PART_EXTENSION, LOCK_EXTENSION}) {
    refused =
        refused || (dot != std::string_view::npos && equal_ignoring_ascii_case(extension, staged));
  }
  if (refused) {
    return fail(
        fmt::format("Path helper tidak didukung untuk pembaruan: {}", utf8_lossy(executable)));
  }
  StagedPaths paths;
  paths.download = replace_extension(executable, DOWNLOAD_EXTENSION);
  paths.part = replace_extension(paths.download, PART_EXTENSION);
  paths.lock = replace_extension(paths.download, LOCK_EXTENSION);
  return paths;
}

Result<Fd> lock_update(const std::string& lock_path) {
  // Read-only is enough for flock. Never through a link, and O_NONBLOCK so
  // that a FIFO put in its place cannot hold the run in open().
  Fd fd(::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd) return fail(fmt::format("Gagal membuat file: {}", os_error_text(errno)));
  if (auto made = make_private(fd.get()); !made) {
    return fail(fmt::format("Gagal membuat file: {}", made.error().text()));
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return fail("Pembaruan lain sedang berjalan.");
    return fail(fmt::format("Gagal membuat file: {}", os_error_text(errno)));
  }
  return fd;
}

}  // namespace tavi
