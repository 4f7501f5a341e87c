#include "tavi/ip.hpp"

#include <fmt/format.h>
#include <cstring>

namespace tavi {

namespace {

// A small cursor over the text; every reader restores the position when it fails.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool at_end() const { return pos_ == text_.size(); }
  std::optional<char> peek() const {
    return at_end() ? std::nullopt : std::optional<char>(text_[pos_]);
  }
  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  std::size_t pos() const { return pos_; }
  void reset(std::size_t pos) { pos_ = pos; }

  // Reads a number of at most `max_digits` digits (0: no bound) in `radix`
  // whose value fits `max_value`.
  std::optional<std::uint64_t> read_number(unsigned radix, unsigned max_digits,
                                           bool allow_leading_zero, std::uint64_t max_value) {
    const std::size_t start = pos_;
    std::uint64_t value = 0;
    unsigned digits = 0;
    while (auto c = peek()) {
      int d = digit_value(*c, radix);
      if (d < 0) break;
      if (max_digits != 0 && digits == max_digits) break;
      value = value * radix + static_cast<unsigned>(d);
      ++digits;
      ++pos_;
      if (value > max_value) {
        pos_ = start;
        return std::nullopt;
      }
    }
    if (digits == 0 || (!allow_leading_zero && digits > 1 && text_[start] == '0')) {
      pos_ = start;
      return std::nullopt;
    }
    return value;
  }

 private:
  static int digit_value(char c, unsigned radix) {
    if (c >= '0' && c <= '9') return c - '0';
    if (radix == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (radix == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::optional<Ipv4Address> read_ipv4(Cursor& in) {
  const std::size_t start = in.pos();
  Ipv4Address address;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !in.take('.')) {
      in.reset(start);
      return std::nullopt;
    }
    auto octet = in.read_number(10, 3, false, 255);
    if (!octet) {
      in.reset(start);
      return std::nullopt;
    }
    address.octets[i] = static_cast<std::uint8_t>(*octet);
  }
  return address;
}

// Reads up to `limit` groups, the last two of which may be an IPv4 part.
// Returns the number of 16-bit groups filled and whether an IPv4 part ended it.
std::pair<int, bool> read_groups(Cursor& in, std::uint16_t* groups, int limit) {
  for (int i = 0; i < limit; ++i) {
    const std::size_t before = in.pos();
    if (i < limit - 1) {
      if (i == 0 || in.take(':')) {
        if (auto v4 = read_ipv4(in)) {
          groups[i] = static_cast<std::uint16_t>(v4->octets[0] << 8 | v4->octets[1]);
          groups[i + 1] = static_cast<std::uint16_t>(v4->octets[2] << 8 | v4->octets[3]);
          return {i + 2, true};
        }
      }
      in.reset(before);
    }
    if (i > 0 && !in.take(':')) {
      in.reset(before);
      return {i, false};
    }
    auto group = in.read_number(16, 4, true, 0xFFFF);
    if (!group) {
      in.reset(before);
      return {i, false};
    }
    groups[i] = static_cast<std::uint16_t>(*group);
  }
  return {limit, false};
}

std::optional<Ipv6Address> read_ipv6(Cursor& in) {
  std::uint16_t head[8] = {};
  std::uint16_t tail[8] = {};
  auto [head_size, head_ipv4] = read_groups(in, head, 8);
  std::uint16_t groups[8] = {};
  if (head_size == 8) {
    std::memcpy(groups, head, sizeof groups);
  } else {
    if (head_ipv4) return std::nullopt;
    if (!in.take(':') || !in.take(':')) return std::nullopt;
    auto [tail_size, tail_ipv4] = read_groups(in, tail, 8 - (head_size + 1));
    (void)tail_ipv4;
    for (int i = 0; i < head_size; ++i) groups[i] = head[i];
    for (int i = 0; i < tail_size; ++i) groups[8 - tail_size + i] = tail[i];
  }
  Ipv6Address address;
  for (int i = 0; i < 8; ++i) {
    address.bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    address.bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
  }
  return address;
}

template <class T, class Reader>
std::optional<T> parse_whole(std::string_view text, Reader reader) {
  Cursor in(text);
  auto value = reader(in);
  if (!value || !in.at_end()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Ipv4Address> parse_ipv4_address(std::string_view text) {
  return parse_whole<Ipv4Address>(text, read_ipv4);
}

std::optional<Ipv6Address> parse_ipv6_address(std::string_view text) {
  return parse_whole<Ipv6Address>(text, read_ipv6);
}

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (auto v4 = parse_ipv4_address(text)) return IpAddress{*v4};
  if (auto v6 = parse_ipv6_address(text)) return IpAddress{*v6};
  return std::nullopt;
}

std::string format_ip_address(const Ipv4Address& a) {
  return fmt::format("{}.{}.{}.{}", a.octets[0], a.octets[1], a.octets[2], a.octets[3]);
}

std::string format_ip_address(const Ipv6Address& a) {
  if (const std::optional<Ipv4Address> v4 = mapped_ipv4(a)) {
    return "::ffff:" + format_ip_address(*v4);
  }
  std::uint16_t g[8];
  for (int i = 0; i < 8; ++i)
    g[i] = static_cast<std::uint16_t>(a.bytes[2 * i] << 8 | a.bytes[2 * i + 1]);

  // The first longest run of two or more zero groups becomes "::".
  int best_start = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > best_len) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }
  if (best_len < 2) best_start = -1;

  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    out += fmt::format("{:x}", g[i]);
  }
  return out;
}

std::string format_ip_address(const IpAddress& address) {
  return std::visit([](const auto& a) { return format_ip_address(a); }, address);
}

bool is_loopback(const IpAddress& address) {
  if (auto v4 = std::get_if<Ipv4Address>(&address)) return v4->octets[0] == 127;
  Ipv6Address one;
  one.bytes[15] = 1;
  return std::get<Ipv6Address>(address) == one;
}

std::optional<Ipv4Address> mapped_ipv4(const Ipv6Address& address) {
  const auto& b = address.bytes;
  for (std::size_t i = 0; i < 10; ++i) {
    if (b[i] != 0) return std::nullopt;
  }
  if (b[10] != 0xff || b[11] != 0xff) return std::nullopt;
  return Ipv4Address{{b[12], b[13], b[14], b[15]}};
}

std::string format_socket_address(const SocketAddress& address) {
  if (auto v4 = std::get_if<Ipv4Address>(&address.ip)) {
    return fmt::format("{}:{}", format_ip_address(*v4), address.port);
  }
  const std::string ip = format_ip_address(std::get<Ipv6Address>(address.ip));
  if (address.scope_id != 0) return fmt::format("[{}%{}]:{}", ip, address.scope_id, address.port);
  return fmt::format("[{}]:{}", ip, address.port);
}

std::optional<SocketAddress> parse_socket_address(std::string_view text) {
  Cursor in(text);
  SocketAddress address;
  if (in.take('[')) {
    auto v6 = read_ipv6(in);
    if (!v6) return std::nullopt;
    address.ip = *v6;
    if (in.take('%')) {
      auto scope = in.read_number(10, 0, true, 0xFFFFFFFFu);
      if (!scope) return std::nullopt;
      address.scope_id = static_cast<std::uint32_t>(*scope);
    }
    if (!in.take(']')) return std::nullopt;
  } else {
    auto v4 = read_ipv4(in);
    if (!v4) return std::nullopt;
    address.ip = *v4;
  }
  if (!in.take(':')) return std::nullopt;
  auto port = in.read_number(10, 0, true, 0xFFFF);
  if (!port || !in.at_end()) return std::nullopt;
  address.port = static_cast<std::uint16_t>(*port);
  return address;
}

SockaddrBuffer to_sockaddr(const SocketAddress& address) {
  SockaddrBuffer out;
  if (auto v4 = std::get_if<Ipv4Address>(&address.ip)) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(address.port);
    std::memcpy(&sin->sin_addr, v4->octets.data(), 4);
    out.length = sizeof(sockaddr_in);
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(address.port);
    std::memcpy(&sin6->sin6_addr, std::get<Ipv6Address>(address.ip).bytes.data(), 16);
    sin6->sin6_scope_id = address.scope_id;
    out.length = sizeof(sockaddr_in6);
  }
  return out;
}

std::optional<IpAddress> ip_from_sockaddr(const sockaddr* address) {
  if (address == nullptr) return std::nullopt;
  if (address->sa_family == AF_INET) {
    Ipv4Address v4;
    std::memcpy(v4.octets.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    return v4;
  }
  if (address->sa_family == AF_INET6) {
    Ipv6Address v6;
    std::memcpy(v6.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    return v6;
  }
  return std::nullopt;
}

std::optional<SocketAddress> from_sockaddr(const sockaddr* address) {
  auto ip = ip_from_sockaddr(address);
  if (!ip) return std::nullopt;
  SocketAddress out{*ip, 0, 0};
  if (address->sa_family == AF_INET) {
    out.port = ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  } else {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(address);
    out.port = ntohs(sin6->sin6_port);
    out.scope_id = sin6->sin6_scope_id;
  }
  return out;
}

}  // namespace tavi

std::size_t std::hash<tavi::SocketAddress>::operator()(
    const tavi::SocketAddress& address) const noexcept {
  std::size_t h = address.ip.index() * 31 + address.port;
  h = h * 131 + address.scope_id;
  const auto mix = [&](const auto& bytes) {
    for (std::uint8_t b : bytes) h = h * 131 + b;
  };
  if (auto v4 = std::get_if<tavi::Ipv4Address>(&address.ip)) {
    mix(v4->octets);
  } else {
    mix(std::get<tavi::Ipv6Address>(address.ip).bytes);
  }
  return h;
}
