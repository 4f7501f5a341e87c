#include "tavi/os_error.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace tavi {

namespace {

// strerror_r comes in two forms, told apart by what it returns: GNU's returns
// the text, which may be a static string rather than the buffer; POSIX's
// (macOS) returns 0 or an error number and always leaves its text in the buffer.
[[maybe_unused]] const char* strerror_r_text(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_r_text(int, const char* buffer) { return buffer; }

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256] = "";
  const char* text = strerror_r_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
  return fmt::format("{} (os error {})", text, error_number);
}

bool is_resource_shortage(const OsError& error) {
  switch (error.code) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

}  // namespace tavi
