// Control request lines of exactly one mebibyte, LF included, in the shapes
// that tell how reading a request uses memory and time.
#pragma once

#include <cstddef>
#include <string>

namespace tavi {

inline constexpr std::size_t REQUEST_SHAPE_BYTES = 1'048'576;

// "[" repeated: the protocol refuses it at its first byte.
std::string request_refused_at_first_byte();
// A SetConfig whose unknown member holds a flat array of numbers.
std::string set_config_with_flat_array();
// A SetConfig whose unknown member holds arrays nested as deep as the line allows.
std::string set_config_with_deep_nest();
// A valid SetConfig with as many servers as the line holds.
std::string set_config_with_many_servers();

}  // namespace tavi
