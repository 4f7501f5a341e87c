#include <sys/resource.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <functional>

#include "tavi/platform.hpp"

#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/syslimits.h>
#endif

namespace tavi::platform {

#if defined(__APPLE__)
// The release's libcurl waits with select() on sets of this many descriptors
// (scripts/release-macos builds it with this FD_SETSIZE) and refuses any
// descriptor beyond; the soft limit stays at or below it, so no socket is.
constexpr rlim_t SELECT_SET_SIZE = 65536;
#endif

OsResult<void> raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::unexpected(last_os_error());
  // Tried from the largest down; the first one the kernel takes stays.
  std::array<rlim_t, 3> candidates{limit.rlim_max, 0, 0};
#if defined(__APPLE__)
  int per_process = 0;
  std::size_t size = sizeof per_process;
  if (::sysctlbyname("kern.maxfilesperproc", &per_process, &size, nullptr, 0) == 0 &&
      per_process > 0) {
    candidates[1] = std::min(limit.rlim_max, static_cast<rlim_t>(per_process));
  }
  candidates[2] = std::min(limit.rlim_max, static_cast<rlim_t>(OPEN_MAX));
  for (rlim_t& candidate : candidates) candidate = std::min(candidate, SELECT_SET_SIZE);
  if (limit.rlim_cur > SELECT_SET_SIZE) {
    const rlimit lowered{SELECT_SET_SIZE, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return std::unexpected(last_os_error());
    return {};
  }
#endif
  std::sort(candidates.begin(), candidates.end(), std::greater<>());
  int refused = 0;
  for (const rlim_t wanted : candidates) {
    if (wanted <= limit.rlim_cur) return {};
    const rlimit raised{wanted, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return {};
    refused = errno;
  }
  return std::unexpected(OsError{refused});
}

}  // namespace tavi::platform
