#include <climits>
#include <cstdint>
#include <vector>

#include "tavi/platform.hpp"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <sys/auxv.h>
#include <unistd.h>
#endif

namespace tavi::platform {

OsResult<std::string> executable_path() {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1);
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::unexpected(OsError{ENAMETOOLONG});
  return std::string(buffer.data());
#else
  // The path given to execve, as macOS reports it; /proc as a fallback.
  if (const auto* path = reinterpret_cast<const char*>(::getauxval(AT_EXECFN))) {
    return std::string(path);
  }
  std::vector<char> buffer(PATH_MAX);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n < 0) return std::unexpected(last_os_error());
  return std::string(buffer.data(), static_cast<std::size_t>(n));
#endif
}

}  // namespace tavi::platform
