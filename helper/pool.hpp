// The loopback address pool: the k-th address a forwarded server is published
// on. Pure computation over the environment; nothing is reserved or cached.
#pragma once

#include <cstddef>
#include <optional>

#include "tavi/ip.hpp"

namespace tavi {

inline constexpr Ipv4Address LOOPBACK_BASE{{127, 77, 0, 2}};
// Exclusive upper limit of a pool address's last octet.
inline constexpr unsigned LOOPBACK_OCTET_LIMIT = 255;

// The base (TAVI_LOOPBACK when it holds a plain dotted IPv4 address, else
// LOOPBACK_BASE) with k added to its last octet; nothing once that would reach
// LOOPBACK_OCTET_LIMIT. The environment is read at every call.
std::optional<Ipv4Address> loopback_address(std::size_t k);

}  // namespace tavi
