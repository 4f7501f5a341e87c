// Whole-file writes and folder creation, with the system's own error numbers.
#pragma once

#include <string>
#include <string_view>

#include "tavi/os_error.hpp"

namespace tavi {

// Creates the file (mode 0666 less the file-creation mask) or empties the one
// that is there, and writes all of `bytes` into it. Interrupted writes are
// resumed.
OsResult<void> write_file(const std::string& path, std::string_view bytes);

// Creates the folder and every missing parent, each with mode 0777 less the
// file-creation mask. An existing folder is success; an empty path is too.
// The error is that of the first level that could not be made.
OsResult<void> create_folders(const std::string& folder);

}  // namespace tavi
