// Reading a file whole, and replacing one whole so that a crash at any moment
// leaves either the old bytes or the new ones, never a mix or a truncated file.
#pragma once

#include <string>
#include <string_view>

#include "tavi/os_error.hpp"

namespace tavi {

// All bytes of the file, read to the end (a signal-interrupted read is repeated).
OsResult<std::string> read_whole_file(const std::string& path);

// Writes every byte to the descriptor, repeating interrupted and partial writes.
OsResult<void> write_all(int fd, std::string_view content);

// Writes `content` to a new temporary file beside the target, flushes it to
// stable storage, gives it the mode and owner of the file it replaces (a new
// file gets 0666 less the umask) and renames it over the target. A symbolic
// link at `path` is kept: the file it finally points to is replaced. On any
// failure the temporary file is removed and the old file is left untouched.
OsResult<void> replace_whole_file(const std::string& path, std::string_view content);

// Removes the temporary files that replace_whole_file for `path` left beside
// its target when its process was killed mid-write: plain files named exactly
// as it names them, whose writing process is gone. A file whose pid names a
// live process (this one included) is kept, as is every other file. Failures
// are ignored: what stays is only clutter.
void remove_leftover_temp_files(const std::string& path);

}  // namespace tavi
