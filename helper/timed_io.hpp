// Waiting on a socket with a time limit, for the control connections' limits
// on a whole line or a whole reply.
#pragma once

#include <chrono>
#include <string_view>

namespace tavi {

// Whether `fd` has bytes (or an end of stream or error) to receive within
// `limit`. An interrupted wait is resumed with what is left of the limit.
bool wait_readable(int fd, std::chrono::milliseconds limit);

// Sends every byte within `limit` in all, repeating interrupted and partial
// sends. False on an error, on a send that accepts nothing, or when the limit
// runs out first.
bool send_all_within(int fd, std::string_view bytes, std::chrono::milliseconds limit);

}  // namespace tavi
