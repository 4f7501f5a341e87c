// What differs between macOS and Linux. Everything here lives in src/platform/.
#pragma once

#include <cstddef>
#include <string>

#include "tavi/fd.hpp"
#include "tavi/os_error.hpp"

namespace tavi::platform {

// A socket that is close-on-exec from the start (or as soon as the system allows).
OsResult<Fd> open_socket(int family, int type);
// accept() with the new descriptor close-on-exec; interrupted calls are retried.
OsResult<Fd> accept_socket(int listener);
// A pipe whose both ends are close-on-exec.
OsResult<std::pair<Fd, Fd>> open_pipe();
// posix_spawn flags that keep out of the child every descriptor the file
// actions do not hand over, where the system has them; 0 elsewhere.
short spawn_descriptor_flags();

}  // namespace tavi::platform

namespace tavi::platform {

// The running executable's path as the system reports it, not canonicalised.
OsResult<std::string> executable_path();

}  // namespace tavi::platform

#include "tavi/result.hpp"

namespace tavi::platform {

// Copies a regular file, or the regular file a symbolic link names, to
// `destination`: a clone where the file system allows it, else a copy of the
// data and the mode; either way synced with sync_file. Whatever stood at
// `destination` is removed first and the copy is a new file, owned by the
// user who copies whoever owns the source. Another source fails with "the
// source path is neither a regular file nor a symlink to a regular file"; a
// system failure gives the system's error text. When the destination already
// is the source (the same file under another name) nothing is written and the
// copy succeeds: the file holds the source's bytes and mode already, and
// opening it for writing would empty it.
Result<void> copy_file(const std::string& source, const std::string& destination);

}  // namespace tavi::platform

namespace tavi::platform {

// Raises the soft limit of open descriptors to the largest value the system
// accepts up to the hard limit (on macOS the hard limit may be unlimited
// while the kernel takes no more than kern.maxfilesperproc or OPEN_MAX). A
// soft limit already that high is left alone; a refusal leaves it as it was
// and gives the last error. On macOS it never goes past 65,536, lowering a
// higher one: the size of the select() sets the release's libcurl waits on.
OsResult<void> raise_open_file_limit();

// Flushes a file's data and metadata (or a folder's entries) through to the
// storage device, drive cache included where the system can ask for that, so
// that a file renamed into place afterwards survives a power cut whole.
OsResult<void> sync_file(int fd);

// Keeps the allocator's mapping threshold at LARGE_HEAP_BLOCK for good (glibc
// would raise it to the size of each larger mapped block freed): a block of
// that size or more that free heap has no room for gets a mapping of its own,
// given back to the system as soon as it is freed. Called once at start.
inline constexpr std::size_t LARGE_HEAP_BLOCK = 128 * 1024;
void keep_large_blocks_apart();
// Gives the heap's free pages back to the system where the allocator would
// otherwise keep them for later.
void release_free_memory();

}  // namespace tavi::platform
