// Writing JSON texts: the string escapes shared by the configuration file and
// the control replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavi {

// Appends `text` in double quotes. Escaped: '"', '\\', 0x08 \b, 0x09 \t,
// 0x0A \n, 0x0C \f, 0x0D \r, other bytes below 0x20 as \u00xx (lower-case hex).
// Every other byte, '/' and 0x7F and non-ASCII included, is written unchanged.
void append_json_string(std::string& out, std::string_view text);
// How many bytes append_json_string adds for `text`, quotes included.
std::size_t json_string_size(std::string_view text);

void append_json_number(std::string& out, std::uint64_t value);

}  // namespace tavi
