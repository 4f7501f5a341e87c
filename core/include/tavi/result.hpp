// The value-or-message result that every fallible operation returns.
#pragma once

#include <expected>
#include <string>

namespace tavi {

template <class T>
using Result = std::expected<T, std::string>;

// Shorthand for the failure side: `return fail("...")`.
inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

}  // namespace tavi
