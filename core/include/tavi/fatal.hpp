// Ending the process on a broken invariant.
#pragma once

#include <string_view>

namespace tavi {

// Prints "tavi-helper: {message}" on standard error and ends the whole process
// at once. Used where going on would leave shared state half-changed; launchd
// starts the daemon again.
[[noreturn]] void die(std::string_view message);

}  // namespace tavi
