#include "tavi/fatal.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tavi {

void die(std::string_view message) {
  std::string line = "tavi-helper: ";
  line.append(message);
  line.push_back('\n');
  // One write, so the line is not interleaved with another thread's output.
  [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  std::abort();
}

}  // namespace tavi
