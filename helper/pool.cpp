#include "pool.hpp"

#include <cstdlib>
#include <string_view>

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

}  // namespace

std::optional<Ipv4Address> loopback_address(std::size_t k) {
  Ipv4Address address = pool_base();
  const unsigned last = address.octets[3];
  // Compared as a difference so a huge k cannot wrap around into small octets.
  if (last >= LOOPBACK_OCTET_LIMIT || k >= LOOPBACK_OCTET_LIMIT - last) return std::nullopt;
  address.octets[3] = static_cast<std::uint8_t>(last + k);
  return address;
}

}  // namespace tavi
