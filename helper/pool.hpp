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

// The pool's addresses: `size` of them, the first one `base`, each next one
// with its last octet one higher.
struct PoolRange {
  Ipv4Address base;
  std::size_t size = 0;
};

// The base (TAVI_LOOPBACK when it holds a plain dotted IPv4 address, else
// LOOPBACK_BASE) and every address from it up to a last octet below
// LOOPBACK_OCTET_LIMIT. The environment is read at every call.
PoolRange loopback_pool();

// The pool's k-th address; nothing once its last octet would reach
// LOOPBACK_OCTET_LIMIT.
std::optional<Ipv4Address> loopback_address(std::size_t k);

// Whether a connection to `address` would reach a listener on one of the
// pool's addresses: the address itself or its IPv4-mapped IPv6 form, which a
// dual-stack socket connects to the same IPv4 listener.
bool is_pool_address(const PoolRange& pool, const IpAddress& address);

}  // namespace tavi
