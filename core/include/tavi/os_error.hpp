// Operating-system errors and the one way their text is shown to a user.
#pragma once

#include <cerrno>
#include <expected>
#include <string>

namespace tavi {

// The system's text for an error number followed by " (os error N)".
std::string os_error_text(int error_number);

// An error number kept as a value, for callers that must tell errors apart
// (an address not available, a missing file) before turning them into text.
struct OsError {
  int code = 0;
  std::string text() const { return os_error_text(code); }
  friend bool operator==(const OsError&, const OsError&) = default;
};

inline OsError last_os_error() { return OsError{errno}; }

// EMFILE, ENFILE, ENOBUFS and ENOMEM: the system had no descriptor or memory
// to spare, a failure that only time can cure.
bool is_resource_shortage(const OsError& error);

template <class T>
using OsResult = std::expected<T, OsError>;

}  // namespace tavi
