// Control request lines of exactly one mebibyte, LF included, in the shapes
// that tell how reading and handling a request use memory and time.
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
// A SetConfig whose unknown member holds 0.111…1e: digits all the way, then
// an exponent without digits, which RapidJSON refuses at the very end.
std::string set_config_with_bad_exponent();
// A SetConfig whose unknown member holds 111…1. (an integer, then a bare point).
std::string set_config_with_bare_point();
// A SetConfig whose unknown member holds numbers beyond a double, side by side.
std::string set_config_with_numbers_beyond_a_double();
// A SetConfig whose unknown member holds a string of lone high surrogate escapes.
std::string set_config_with_lone_surrogates();
// A valid SetConfig with as many servers as the line holds.
std::string set_config_with_many_servers();
// A valid SetConfig with as many of the smallest servers as the line holds
// (some 68,000, each a short name and ::1).
std::string set_config_with_tiny_servers();
// A valid SetConfig of one server with as many short aliases as the line holds.
std::string set_config_with_many_aliases();

}  // namespace tavi
