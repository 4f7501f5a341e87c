// The web root certificates (a PEM bundle) built into the program, so https
// servers are verified the same way whatever the machine's trust store holds.
#pragma once

#include <cstddef>

namespace tavi {

extern const unsigned char WEB_ROOTS_PEM[];
extern const std::size_t WEB_ROOTS_PEM_SIZE;

}  // namespace tavi
