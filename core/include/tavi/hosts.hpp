// The managed block of the system hosts file, and the DNS cache flush that
// follows a change of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tavi/layout.hpp"
#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::string_view DEFAULT_HOSTS_PATH = "/etc/hosts";
inline constexpr std::string_view HOSTS_BEGIN_PREFIX = "# BEGIN tavi";
inline constexpr std::string_view HOSTS_BEGIN_LINE =
    "# BEGIN tavi (dikelola otomatis oleh tavi, jangan diedit)";
inline constexpr std::string_view HOSTS_END_LINE = "# END tavi";
inline constexpr std::string_view HOSTS_BACKUP_EXTENSION = "tavi-backup";
inline constexpr std::string_view HOSTS_TMP_EXTENSION = "tavi-tmp";
inline constexpr unsigned HOSTS_FILE_MODE = 0644;

struct HostsEntry {
  std::string ip;
  std::vector<std::string> names;
  friend bool operator==(const HostsEntry&, const HostsEntry&) = default;
};

// TAVI_HOSTS_FILE when set (even empty), else DEFAULT_HOSTS_PATH; read at every call.
std::string hosts_path();

// The file's own lines with every managed block removed, then the new block
// at the end (none for an empty list). True when the file was replaced, false
// when its bytes would not change and nothing was written. A file that exists
// but cannot be read, or is not UTF-8 text, is an error and stays untouched.
Result<bool> write_hosts_block(const std::string& path, const std::vector<HostsEntry>& entries);

// Runs the two cache-flushing programs in turn; their outcome is ignored.
void flush_dns_cache();
void flush_dns_cache(const Layout& layout);

}  // namespace tavi
