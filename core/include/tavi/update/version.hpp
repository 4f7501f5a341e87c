// Release version texts as lists of up to three numbers, and their order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavi {

// Where `next_version_component` stands in a version text (already trimmed
// and without its leading 'v's): start with `VersionPieces{.rest = text}`.
struct VersionPieces {
  std::string_view rest;  // the text not split yet
  int pieces_left = 3;
  bool at_end = false;
};

// The number of the next piece (0 for a piece that is not a plain decimal
// number fitting in 64 bits), or nothing once three pieces were given or the
// text is used up.
std::optional<std::uint64_t> next_version_component(VersionPieces& pieces);

// One to three numbers; every text has a list, the empty text {0}.
std::vector<std::uint64_t> parse_version(std::string_view text);

// Whether `candidate`'s list is greater than `current`'s: the first differing
// number decides, and a longer list beats its own leading part.
bool is_newer_version(std::string_view candidate, std::string_view current);

}  // namespace tavi
