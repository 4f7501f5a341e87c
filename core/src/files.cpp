#include "tavi/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

OsResult<void> create_folders(const std::string& path) {
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  if (errno == ENOENT) {
    // A parent is missing: make the parents, then try this one again.
    const std::string parent = std::filesystem::path(path).parent_path().string();
    if (parent != path) {
      if (auto made = create_folders(parent); !made) return made;
      if (::mkdir(path.c_str(), 0777) == 0) return {};
    }
  }
  const OsError error = last_os_error();
  struct stat status;
  // Someone else may have made it meanwhile; any existing folder will do.
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return {};
  return std::unexpected(error);
}

}  // namespace tavi
