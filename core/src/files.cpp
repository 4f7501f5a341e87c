#include "tavi/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tavi/fd.hpp"
#include "tavi/whole_file.hpp"

namespace tavi {

OsResult<void> write_file(const std::string& path, std::string_view bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return std::unexpected(last_os_error());
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (::close(fd.release()) != 0) return std::unexpected(last_os_error());
  return {};
}

namespace {

bool is_folder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

// Each missing level in turn from the top. A level that cannot be made is
// fine when it is a folder all the same (it existed, or appeared meanwhile).
OsResult<void> create_folders(const std::string& folder) {
  for (std::size_t end = 1; end <= folder.size(); ++end) {
    const bool level_ends = end == folder.size() || folder[end] == '/';
    if (!level_ends || folder[end - 1] == '/') continue;
    const std::string level = folder.substr(0, end);
    if (::mkdir(level.c_str(), 0777) == 0) continue;
    const OsError error = last_os_error();
    if (!is_folder(level)) return std::unexpected(error);
  }
  return {};
}

}  // namespace tavi
