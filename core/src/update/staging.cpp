#include "tavi/update/staging.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>

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
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return fail("Pembaruan lain sedang berjalan.");
    return fail(fmt::format("Gagal membuat file: {}", os_error_text(errno)));
  }
  return fd;
}

}  // namespace tavi
