// IP and socket address texts: the strict parser and the standard written forms.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tavi {

struct Ipv4Address {
  std::array<std::uint8_t, 4> octets{};
  friend bool operator==(const Ipv4Address&, const Ipv4Address&) = default;
};

struct Ipv6Address {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const Ipv6Address&, const Ipv6Address&) = default;
};

using IpAddress = std::variant<Ipv4Address, Ipv6Address>;

// Four decimal numbers 0..255 separated by ".", no leading zeros, nothing else.
std::optional<Ipv4Address> parse_ipv4_address(std::string_view text);
// RFC 4291 text: groups of 1-4 hex digits, at most one "::", optionally ending
// in a dotted IPv4 part. No brackets, zone or prefix length.
std::optional<Ipv6Address> parse_ipv6_address(std::string_view text);
std::optional<IpAddress> parse_ip_address(std::string_view text);

// Dotted decimal; IPv6 in the RFC 5952 form ("::ffff:" and dotted decimal for
// an IPv4-mapped address).
std::string format_ip_address(const Ipv4Address& address);
std::string format_ip_address(const Ipv6Address& address);
std::string format_ip_address(const IpAddress& address);

bool is_loopback(const IpAddress& address);

// The IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) stands for.
std::optional<Ipv4Address> mapped_ipv4(const Ipv6Address& address);

struct SocketAddress {
  IpAddress ip;
  std::uint16_t port = 0;
  std::uint32_t scope_id = 0;  // IPv6 only
  friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

// "a.b.c.d:port", or "[v6]:port" (scope written as "%N" inside the brackets).
std::string format_socket_address(const SocketAddress& address);

// "a.b.c.d:port" or "[v6]:port" / "[v6%zone]:port", port decimal with leading
// zeros allowed; no host names, no white space.
std::optional<SocketAddress> parse_socket_address(std::string_view text);

struct SockaddrBuffer {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SockaddrBuffer to_sockaddr(const SocketAddress& address);
std::optional<SocketAddress> from_sockaddr(const sockaddr* address);
std::optional<IpAddress> ip_from_sockaddr(const sockaddr* address);

}  // namespace tavi

template <>
struct std::hash<tavi::SocketAddress> {
  std::size_t operator()(const tavi::SocketAddress& address) const noexcept;
};
