// Reading from a connection in tests.
#pragma once

#include <string>

namespace tavi::test {

// Everything the peer sends until it closes (or resets) the connection, or
// until a receive fails (its time limit included). Interrupted receives are
// repeated.
std::string read_until_closed(int fd);

}  // namespace tavi::test
