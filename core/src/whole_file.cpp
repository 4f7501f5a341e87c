#include "tavi/whole_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

#include "tavi/platform.hpp"

namespace tavi {

namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int MAX_LINKS = 40;
// Keeps the temporary name within NAME_MAX however long the target's name is.
constexpr std::size_t MAX_TEMP_BASE = 200;

std::unexpected<OsError> os_failure(int code) { return std::unexpected(OsError{code}); }

// Everything up to and including the last "/", or "" for a bare name.
std::string folder_prefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

OsResult<std::string> read_link(const std::string& path, std::size_t size_hint) {
  std::vector<char> buffer(std::max<std::size_t>(size_hint + 1, 256));
  for (;;) {
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return std::unexpected(last_os_error());
    if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

// The file a chain of symbolic links ends at, with its status when it exists.
struct LinkEnd {
  std::string path;
  std::optional<struct stat> status;
};

OsResult<LinkEnd> follow_links(const std::string& path) {
  std::string current = path;
  for (int links = 0; links <= MAX_LINKS; ++links) {
    struct stat status {};
    if (lstat(current.c_str(), &status) != 0) {
      if (errno == ENOENT) return LinkEnd{current, std::nullopt};
      return std::unexpected(last_os_error());
    }
    if (!S_ISLNK(status.st_mode)) return LinkEnd{current, status};
    auto target = read_link(current, static_cast<std::size_t>(status.st_size));
    if (!target) return std::unexpected(target.error());
    // A relative target is relative to the folder that holds the link.
    current = target->starts_with('/') ? *target : folder_prefix(current) + *target;
  }
  return os_failure(ELOOP);
}

struct TempFile {
  int fd = -1;
  std::string path;
};

// Temporary names are ".<target name>.tmp-<pid>-<n>": the pid tells a
// leftover whose writer has died from a file still being written.
std::string temp_name_prefix(std::string_view target_name) {
  return fmt::format(".{}.tmp-", target_name.substr(0, MAX_TEMP_BASE));
}

std::string temp_name(std::string_view target_name, pid_t pid, unsigned n) {
  return fmt::format("{}{}-{}", temp_name_prefix(target_name), pid, n);
}

// The writer's pid when `entry` is exactly a name temp_name gives for
// `target_name`: no sign, no leading zero, nothing after the counter.
std::optional<pid_t> temp_name_writer(std::string_view target_name, std::string_view entry) {
  const std::string prefix = temp_name_prefix(target_name);
  if (!entry.starts_with(prefix)) return std::nullopt;
  const std::string_view rest = entry.substr(prefix.size());
  const std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  pid_t pid = 0;
  unsigned n = 0;
  const char* pid_end = rest.data() + dash;
  const char* end = rest.data() + rest.size();
  if (std::from_chars(rest.data(), pid_end, pid).ptr != pid_end || pid <= 0) return std::nullopt;
  if (std::from_chars(pid_end + 1, end, n).ptr != end) return std::nullopt;
  if (temp_name(target_name, pid, n) != entry) return std::nullopt;
  return pid;
}

bool process_alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

OsResult<TempFile> create_temp_beside(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = folder_prefix(target);
  const std::string name = target.substr(folder.size());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = folder + temp_name(name, getpid(), counter++);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return TempFile{fd, std::move(path)};
    if (errno != EEXIST && errno != EINTR) return std::unexpected(last_os_error());
  }
  return os_failure(EEXIST);
}

// The owner first: changing it may clear set-user-ID and set-group-ID bits.
OsResult<void> copy_owner_and_mode(int fd, const struct stat& original) {
  struct stat current {};
  if (fstat(fd, &current) != 0) return std::unexpected(last_os_error());
  if ((current.st_uid != original.st_uid || current.st_gid != original.st_gid) &&
      fchown(fd, original.st_uid, original.st_gid) != 0) {
    return std::unexpected(last_os_error());
  }
  if (fchmod(fd, original.st_mode & 07777) != 0) return std::unexpected(last_os_error());
  return {};
}

OsResult<void> fill_and_close(TempFile& temp, std::string_view content,
                              const std::optional<struct stat>& original) {
  auto ok = write_all(temp.fd, content);
  if (ok && original) ok = copy_owner_and_mode(temp.fd, *original);
  if (ok) ok = platform::sync_file(temp.fd);
  const int closed = close(temp.fd);
  temp.fd = -1;
  if (ok && closed != 0) ok = std::unexpected(last_os_error());
  return ok;
}

// Makes the rename itself durable. The new content is already in place when
// this runs, so a failure here is not reported as a failed replacement.
void sync_folder(const std::string& folder) {
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)platform::sync_file(fd);
  close(fd);
}

}  // namespace

OsResult<void> write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

OsResult<std::string> read_whole_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(last_os_error());
  std::string content;
  struct stat status {};
  if (fstat(fd, &status) == 0 && status.st_size > 0) {
    content.reserve(static_cast<std::size_t>(status.st_size));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const OsError error = last_os_error();
      close(fd);
      return std::unexpected(error);
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return content;
}

OsResult<void> replace_whole_file(const std::string& path, std::string_view content) {
  if (path.empty()) return os_failure(ENOENT);
  auto end = follow_links(path);
  if (!end) return std::unexpected(end.error());
  if (end->status && S_ISDIR(end->status->st_mode)) return os_failure(EISDIR);

  auto temp = create_temp_beside(end->path);
  if (!temp) return std::unexpected(temp.error());
  auto ok = fill_and_close(*temp, content, end->status);
  if (ok && rename(temp->path.c_str(), end->path.c_str()) != 0) {
    ok = std::unexpected(last_os_error());
  }
  if (!ok) {
    unlink(temp->path.c_str());
    return ok;
  }
  sync_folder(folder_prefix(end->path));
  return {};
}

void remove_leftover_temp_files(const std::string& path) {
  if (path.empty()) return;
  auto end = follow_links(path);
  if (!end || (end->status && S_ISDIR(end->status->st_mode))) return;
  const std::string folder = folder_prefix(end->path);
  const std::string name = end->path.substr(folder.size());
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> leftovers;
  while (const dirent* entry = readdir(dir)) {
    const auto writer = temp_name_writer(name, entry->d_name);
    if (writer && !process_alive(*writer)) leftovers.push_back(folder + entry->d_name);
  }
  closedir(dir);
  for (const std::string& leftover : leftovers) {
    struct stat status {};
    // Only what the writer makes: a plain file, never a folder or a link.
    if (lstat(leftover.c_str(), &status) == 0 && S_ISREG(status.st_mode)) unlink(leftover.c_str());
  }
}

}  // namespace tavi
