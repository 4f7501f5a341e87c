// Where the configuration file lives, reading it at start, rewriting it on change.
#pragma once

#include <string>
#include <string_view>

#include "tavi/config.hpp"
#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::string_view DEFAULT_CONFIG_PATH =
    "/Library/Application Support/tavi/config.json";
inline constexpr std::string_view DEFAULT_DOMAIN = "home.arpa";

// DEFAULT_DOMAIN and no servers.
Config default_config();

// TAVI_CONFIG byte for byte when set (an empty value gives an empty path),
// else DEFAULT_CONFIG_PATH. Read from the environment at every call.
std::string config_path();

// The stored configuration exactly as read, domain not normalised; the
// default configuration whenever the file cannot be read, parsed or validated.
Config load_config();

// Removes the temporary files a save_config left beside the file when its
// process was killed mid-write. For start-up, before this process saves.
void remove_config_leftovers();

// Writes the indented form, creating missing folders first. A folder that
// cannot be created gives the system's error text alone; a file that cannot
// be written gives "Gagal menyimpan config: " and that text.
Result<void> save_config(const Config& config);

}  // namespace tavi
