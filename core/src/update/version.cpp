#include "tavi/update/version.hpp"

#include <charconv>

#include "tavi/text.hpp"

namespace tavi {

namespace {

// Only ASCII digits make a number (from_chars takes no sign, space or prefix
// for an unsigned type); anything else, or a value past 2^64 - 1, counts as 0.
std::uint64_t piece_value(std::string_view piece) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (error != std::errc{} || end != piece.data() + piece.size()) return 0;
  return value;
}

}  // namespace

std::optional<std::uint64_t> next_version_component(VersionPieces& pieces) {
  if (pieces.pieces_left == 0 || pieces.at_end) return std::nullopt;
  --pieces.pieces_left;
  const std::size_t separator = pieces.rest.find_first_of(".-+");
  std::string_view piece = pieces.rest;
  if (separator == std::string_view::npos) {
    pieces.at_end = true;
    pieces.rest = {};
  } else {
    piece = pieces.rest.substr(0, separator);
    pieces.rest.remove_prefix(separator + 1);
  }
  return piece_value(piece);
}

std::vector<std::uint64_t> parse_version(std::string_view text) {
  text = trim_white_space(text);
  while (!text.empty() && text.front() == 'v') text.remove_prefix(1);
  std::vector<std::uint64_t> numbers;
  VersionPieces pieces{.rest = text};
  while (const auto number = next_version_component(pieces)) numbers.push_back(*number);
  return numbers;
}

bool is_newer_version(std::string_view candidate, std::string_view current) {
  // Vectors order exactly so: element by element, a leading part first.
  return parse_version(candidate) > parse_version(current);
}

}  // namespace tavi
