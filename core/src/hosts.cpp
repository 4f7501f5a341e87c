#include "tavi/hosts.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "tavi/fd.hpp"
#include "tavi/os_error.hpp"
#include "tavi/path.hpp"
#include "tavi/platform.hpp"
#include "tavi/process.hpp"
#include "tavi/text.hpp"
#include "tavi/whole_file.hpp"

namespace tavi {

namespace {

constexpr std::string_view INVALID_UTF8_MESSAGE = "stream did not contain valid UTF-8";

// The whole file, or nothing when it does not exist.
OsResult<std::optional<std::string>> read_if_present(const std::string& path) {
  auto content = read_whole_file(path);
  if (!content && content.error().code == ENOENT) return std::nullopt;
  if (!content) return std::unexpected(content.error());
  return std::move(*content);
}

// The file's own lines: every block from a begin line to its end line (or to
// the end of the text) removed, and blank lines at the end dropped.
std::vector<std::string_view> retained_lines(std::string_view text) {
  std::vector<std::string_view> kept;
  bool inside_block = false;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed);
    text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
    if (feed != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);

    const std::string_view trimmed = trim_white_space(line);
    if (trimmed.starts_with(HOSTS_BEGIN_PREFIX)) {
      inside_block = true;
    } else if (!inside_block) {
      kept.push_back(line);
    } else if (trimmed == HOSTS_END_LINE) {
      inside_block = false;
    }
  }
  while (!kept.empty() && trim_white_space(kept.back()).empty()) kept.pop_back();
  return kept;
}

std::string build_hosts_text(std::string_view old_text, const std::vector<HostsEntry>& entries) {
  const std::string_view eol = old_text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const std::vector<std::string_view> kept = retained_lines(old_text);
  std::string text;
  for (std::string_view line : kept) {
    text += line;
    text += eol;
  }
  if (entries.empty()) return text;
  if (!kept.empty()) text += eol;
  text += HOSTS_BEGIN_LINE;
  text += eol;
  for (const HostsEntry& entry : entries) {
    text += entry.ip;
    text += '\t';
    for (std::size_t i = 0; i < entry.names.size(); ++i) {
      if (i > 0) text += ' ';
      text += entry.names[i];
    }
    text += eol;
  }
  text += HOSTS_END_LINE;
  text += eol;
  return text;
}

// The one-time copy of the user's file. It must hold the old text whole, since
// nothing ever writes it again: a copy that fails half-way is removed.
void write_backup(const std::string& path, std::string_view old_text) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return;
  // O_EXCL: never writes through something the status query could not see.
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) return;
  if (!write_all(fd.get(), old_text) || !platform::sync_file(fd.get())) {
    fd.reset();
    ::unlink(path.c_str());
  }
}

// The new text, with its mode, flushed to storage before the rename so that
// a crash leaves either the old file or the whole new one.
OsResult<void> write_temporary(const std::string& path, std::string_view text) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return std::unexpected(last_os_error());
  if (auto written = write_all(fd.get(), text); !written) return written;
  if (::fchmod(fd.get(), HOSTS_FILE_MODE) != 0) return std::unexpected(last_os_error());
  if (auto synced = platform::sync_file(fd.get()); !synced) return synced;
  if (::close(fd.release()) != 0) return std::unexpected(last_os_error());
  return {};
}

}  // namespace

std::string hosts_path() {
  const char* value = std::getenv("TAVI_HOSTS_FILE");
  return value != nullptr ? std::string(value) : std::string(DEFAULT_HOSTS_PATH);
}

Result<bool> write_hosts_block(const std::string& path, const std::vector<HostsEntry>& entries) {
  auto old_file = read_if_present(path);
  if (!old_file) return fail(old_file.error().text());
  const std::string old_text = old_file->value_or(std::string());
  // Going on would drop the lines we could not read from the user's file.
  if (!is_valid_utf8(old_text)) return fail(std::string(INVALID_UTF8_MESSAGE));

  const std::string new_text = build_hosts_text(old_text, entries);
  if (new_text == old_text) return false;

  if (!old_text.empty()) write_backup(replace_extension(path, HOSTS_BACKUP_EXTENSION), old_text);
  const std::string temporary = replace_extension(path, HOSTS_TMP_EXTENSION);
  if (auto written = write_temporary(temporary, new_text); !written) {
    return fail(written.error().text());
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(last_os_error().text());
  return true;
}

void flush_dns_cache() { flush_dns_cache(default_layout()); }

void flush_dns_cache(const Layout& layout) {
  (void)run_process(layout.dscacheutil, {"-flushcache"});
  (void)run_process(layout.killall, {"-HUP", "mDNSResponder"});
}

}  // namespace tavi
