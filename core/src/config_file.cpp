#include "tavi/config_file.hpp"

#include <sys/stat.h>

#include <fmt/format.h>

#include <cstdlib>
#include <optional>

#include "tavi/os_error.hpp"
#include "tavi/validate.hpp"
#include "tavi/whole_file.hpp"

namespace tavi {

namespace {

// The path without its last component; nothing when there is no folder to
// make: an empty path, "/" or a bare file name.
std::optional<std::string> containing_folder(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;  // "a/b/" names b
  if (end == 0) return std::nullopt;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return std::nullopt;
  std::size_t folder_end = slash;
  while (folder_end > 0 && path[folder_end - 1] == '/') --folder_end;
  return std::string(path.substr(0, folder_end == 0 ? 1 : folder_end));
}

bool is_folder(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Each missing level in turn from the top, with 0777 less the umask.
OsResult<void> create_folders(const std::string& folder) {
  for (std::size_t end = 1; end <= folder.size(); ++end) {
    const bool level_ends = end == folder.size() || folder[end] == '/';
    if (!level_ends || folder[end - 1] == '/') continue;
    const std::string level = folder.substr(0, end);
    if (mkdir(level.c_str(), 0777) == 0) continue;
    const OsError error = last_os_error();
    if (!is_folder(level)) return std::unexpected(error);
  }
  return {};
}

}  // namespace

Config default_config() { return Config{std::string(DEFAULT_DOMAIN), {}}; }

std::string config_path() {
  const char* value = std::getenv("TAVI_CONFIG");
  return value ? std::string(value) : std::string(DEFAULT_CONFIG_PATH);
}

Config load_config() {
  // Every failure is silent: the daemon must always be able to start.
  auto bytes = read_whole_file(config_path());
  if (!bytes) return default_config();
  auto config = parse_config(*bytes);
  if (!config || !validate_config(*config)) return default_config();
  return std::move(*config);
}

Result<void> save_config(const Config& config) {
  const std::string path = config_path();
  if (auto folder = containing_folder(path)) {
    if (auto made = create_folders(*folder); !made) return fail(made.error().text());
  }
  if (auto written = replace_whole_file(path, write_config_indented(config)); !written) {
    return fail(fmt::format("Gagal menyimpan config: {}", written.error().text()));
  }
  return {};
}

}  // namespace tavi
