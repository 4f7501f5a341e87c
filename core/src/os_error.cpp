#include "tavi/os_error.hpp"

#include <cstring>
#include <fmt/format.h>

namespace tavi {

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, error_number);
}

}  // namespace tavi
