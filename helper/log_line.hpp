// The daemon's log: lines on standard error, which launchd appends to the log
// file, one entry a line.
#pragma once

#include <string_view>

namespace tavi {

// Writes "tavi-helper: " and `message` as one line on standard error. The
// message may carry text from a configuration, a request or a server, so its
// control characters are written visibly (escape_control_characters): a line
// feed inside could otherwise forge an entry of its own.
void log_line(std::string_view message);

}  // namespace tavi
