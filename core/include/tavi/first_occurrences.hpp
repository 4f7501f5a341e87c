// Where each text of a list first occurs in it.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace tavi {

// For each text, the position of the first text equal to it byte for byte:
// its own position when none stands before it. It sorts rather than hashing
// into a table, so no choice of texts makes it cost more than a sort.
std::vector<std::size_t> first_occurrences(std::span<const std::string_view> texts);

}  // namespace tavi
