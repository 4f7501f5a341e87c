// Whether a configuration may be used, and the one message that says why not.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "tavi/config.hpp"
#include "tavi/result.hpp"

namespace tavi {

// Longest name, alias or domain label, in bytes of UTF-8 after trimming.
inline constexpr std::size_t MAX_NAME_LEN = 63;
// Longest accepted domain suffix, in bytes after normalising: the longest
// name DNS has. Every server's host names hold the suffix, so a longer one
// would only multiply the memory a configuration takes.
inline constexpr std::size_t MAX_DOMAIN_LEN = 253;

// Accepted domain suffixes; the first four are offered when a suffix is refused.
inline constexpr std::array<std::string_view, 9> SAFE_SUFFIXES{
    "home.arpa", "internal", "test", "localhost", "lan", "home", "intranet", "private", "corp"};

// Trimmed, every final "." removed, ASCII capitals lowered.
std::string normalize_domain(std::string_view domain);

// One server name, alias or domain label: after trimming, 1 to MAX_NAME_LEN
// bytes of a-z, 0-9 and "-", with "-" neither first nor last.
Result<void> validate_name(std::string_view name);

// Every rule in its fixed order; the first that fails gives the message.
// Judges a normalised copy of the domain and trimmed names and addresses,
// and leaves the configuration as it is.
Result<void> validate_config(const Config& config);

}  // namespace tavi
