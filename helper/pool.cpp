#include "pool.hpp"

#include <cstdlib>
#include <string_view>
#include <variant>

#include "tavi/text.hpp"

namespace tavi {

namespace {

// The longest dotted IPv4 text, "255.255.255.255".
constexpr std::size_t MAX_IPV4_TEXT = 15;

Ipv4Address pool_base() {
  const char* value = std::getenv("TAVI_LOOPBACK");
  if (value == nullptr) return LOOPBACK_BASE;
  const std::string_view text(value);
  if (text.size() > MAX_IPV4_TEXT || !is_valid_utf8(text)) return LOOPBACK_BASE;
  return parse_ipv4_address(text).value_or(LOOPBACK_BASE);
}

// The IPv4 address a connection to `address` goes to: itself, or the one an
// IPv4-mapped IPv6 address stands for.
std::optional<Ipv4Address> as_ipv4(const IpAddress& address) {
  if (const auto* v4 = std::get_if<Ipv4Address>(&address)) return *v4;
  return mapped_ipv4(std::get<Ipv6Address>(address));
}

}  // namespace

PoolRange loopback_pool() {
  const Ipv4Address base = pool_base();
  const unsigned last = base.octets[3];
  return {base, last < LOOPBACK_OCTET_LIMIT ? LOOPBACK_OCTET_LIMIT - last : 0};
}

std::optional<Ipv4Address> loopback_address(std::size_t k) {
  const PoolRange pool = loopback_pool();
  // Compared with the size, so a huge k cannot wrap around into small octets.
  if (k >= pool.size) return std::nullopt;
  Ipv4Address address = pool.base;
  address.octets[3] = static_cast<std::uint8_t>(address.octets[3] + k);
  return address;
}

bool is_pool_address(const PoolRange& pool, const IpAddress& address) {
  const std::optional<Ipv4Address> v4 = as_ipv4(address);
  if (!v4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (v4->octets[i] != pool.base.octets[i]) return false;
  }
  const unsigned first = pool.base.octets[3];
  return v4->octets[3] >= first && v4->octets[3] - first < pool.size;
}

}  // namespace tavi
