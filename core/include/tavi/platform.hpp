// What differs between macOS and Linux. Everything here lives in src/platform/.
#pragma once

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

}  // namespace tavi::platform

namespace tavi::platform {

// The running executable's path as the system reports it, not canonicalised.
OsResult<std::string> executable_path();

}  // namespace tavi::platform
