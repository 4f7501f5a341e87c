// SHA-256 digests as the update manifest writes them.
#pragma once

#include <string>
#include <string_view>

namespace tavi::testing {

// 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view data);

}  // namespace tavi::testing
