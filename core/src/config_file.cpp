#include "tavi/config_file.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <optional>

#include "tavi/files.hpp"
#include "tavi/os_error.hpp"
#include "tavi/path.hpp"
#include "tavi/validate.hpp"
#include "tavi/whole_file.hpp"

namespace tavi {

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

void remove_config_leftovers() { remove_leftover_temp_files(config_path()); }

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
