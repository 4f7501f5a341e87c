#include "tavi/validate.hpp"

#include <libpsl.h>

#include <fmt/format.h>
#include <fmt/ranges.h>  // fmt::join moved here in fmt 11

#include <vector>

#include "tavi/first_occurrences.hpp"
#include "tavi/ip.hpp"
#include "tavi/text.hpp"

namespace tavi {

namespace {

constexpr std::string_view LOCAL_SUFFIX = "local";

bool ends_with_label(std::string_view domain, std::string_view suffix) {
  return domain == suffix || (domain.size() > suffix.size() && domain.ends_with(suffix) &&
                              domain[domain.size() - suffix.size() - 1] == '.');
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower_ascii(c);
  return out;
}

bool is_name_byte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

// A listed rule (ICANN or private section) matches the label, as opposed to
// only the list's implicit "*" rule.
bool is_listed_public_suffix(std::string_view label) {
  const std::string text(label);
  return psl_is_public_suffix2(psl_builtin(), text.c_str(), PSL_TYPE_ANY | PSL_TYPE_NO_STAR_RULE) !=
         0;
}

Result<void> validate_domain(std::string_view domain) {
  if (domain.empty()) return fail("Akhiran domain tidak boleh kosong.");

  for (std::size_t start = 0;;) {
    const std::size_t dot = domain.find('.', start);
    const std::size_t end = dot == std::string_view::npos ? domain.size() : dot;
    if (auto ok = validate_name(domain.substr(start, end - start)); !ok) return ok;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }

  if (ends_with_label(domain, LOCAL_SUFFIX)) {
    return fail(
        "\".local\" dipakai perangkat Apple/printer (Bonjour). Pilih yang lain, mis. home.arpa.");
  }
  for (std::string_view safe : SAFE_SUFFIXES) {
    if (!ends_with_label(domain, safe)) continue;
    if (domain.size() > MAX_DOMAIN_LEN) {
      return fail(
          fmt::format("Akhiran domain terlalu panjang (maks {} karakter).", MAX_DOMAIN_LEN));
    }
    return {};
  }

  const std::size_t last_dot = domain.rfind('.');
  const std::string_view label =
      last_dot == std::string_view::npos ? domain : domain.substr(last_dot + 1);
  if (is_listed_public_suffix(label)) {
    return fail(fmt::format(
        "\".{}\" adalah domain internet sungguhan, bisa bentrok dengan situs asli. Pakai "
        "home.arpa, internal, atau lan.",
        label));
  }
  return fail(fmt::format("\".{}\" belum dijamin aman. Pakai salah satu: {}.", label,
                          fmt::join(SAFE_SUFFIXES.begin(), SAFE_SUFFIXES.begin() + 4, ", ")));
}

bool is_ip_address_text(std::string_view text) {
  return parse_ip_address(trim_white_space(text)).has_value();
}

// Whether each name and alias, in configuration order (a server's name, then
// its aliases), repeats an earlier one. Names compare with ASCII capitals
// lowered but white space at the ends kept: " nas" and "nas" differ.
std::vector<bool> repeated_names(const Config& config) {
  std::size_t count = 0;
  std::size_t bytes = 0;
  for (const Server& server : config.servers) {
    count += 1 + server.aliases.size();
    bytes += server.name.size();
    for (const std::string& alias : server.aliases) bytes += alias.size();
  }
  std::string keys;
  keys.reserve(bytes);
  std::vector<std::string_view> texts;
  texts.reserve(count);
  const auto add = [&](std::string_view name) {
    const std::size_t start = keys.size();
    for (char c : name) keys.push_back(lower_ascii(c));
    texts.push_back(std::string_view(keys).substr(start));  // no reallocation: reserved
  };
  for (const Server& server : config.servers) {
    add(server.name);
    for (const std::string& alias : server.aliases) add(alias);
  }
  const std::vector<std::size_t> first = first_occurrences(texts);
  std::vector<bool> repeated(count);
  for (std::size_t i = 0; i < count; ++i) repeated[i] = first[i] != i;
  return repeated;
}

// `repeated` tells for each name and alias of the configuration whether it
// repeats an earlier one; `name_index` is the position of this server's name.
Result<void> validate_server(const Server& server, const std::vector<bool>& repeated,
                             std::size_t name_index) {
  if (auto ok = validate_name(server.name); !ok) return ok;
  for (const std::string& alias : server.aliases) {
    if (auto ok = validate_name(alias); !ok) return ok;
  }

  const auto claim = [&](const std::string& text, std::size_t index) -> Result<void> {
    if (repeated[index]) return fail(fmt::format("Nama \"{}\" dipakai lebih dari sekali.", text));
    return {};
  };
  if (auto ok = claim(server.name, name_index); !ok) return ok;
  for (std::size_t i = 0; i < server.aliases.size(); ++i) {
    if (auto ok = claim(server.aliases[i], name_index + 1 + i); !ok) return ok;
  }

  if (!is_ip_address_text(server.home_ip)) {
    return fail(fmt::format("IP rumah untuk \"{}\" tidak valid.", server.name));
  }
  for (const VpnTarget& target : server.vpn) {
    if (!is_ip_address_text(target.ip)) {
      return fail(fmt::format("IP VPN \"{}\" untuk \"{}\" tidak valid.", target.ip, server.name));
    }
  }

  bool zero_port = server.port == 0 || server.web_port == 0;
  for (std::uint16_t port : server.extra_ports) zero_port = zero_port || port == 0;
  if (zero_port) return fail(fmt::format("Port untuk \"{}\" tidak valid.", server.name));
  return {};
}

}  // namespace

std::string normalize_domain(std::string_view domain) {
  std::string_view text = trim_white_space(domain);
  while (text.ends_with('.')) text.remove_suffix(1);
  return lowered_ascii(text);
}

Result<void> validate_name(std::string_view name) {
  const std::string_view text = trim_white_space(name);
  if (text.empty()) return fail("Nama tidak boleh kosong.");
  if (text.size() > MAX_NAME_LEN) {
    return fail(fmt::format("Nama \"{}\" terlalu panjang (maks 63 karakter).", text));
  }
  // Every byte of a non-ASCII character is above 0x7F, so a byte test refuses
  // exactly the characters outside a-z, 0-9 and "-".
  bool allowed = true;
  for (char c : text) allowed = allowed && is_name_byte(c);
  if (!allowed || text.front() == '-' || text.back() == '-') {
    return fail(fmt::format(
        "Nama \"{}\" hanya boleh huruf kecil, angka, dan tanda minus (tidak di awal/akhir).",
        text));
  }
  return {};
}

Result<void> validate_config(const Config& config) {
  if (auto ok = validate_domain(normalize_domain(config.domain)); !ok) return ok;
  const std::vector<bool> repeated = repeated_names(config);
  std::size_t name_index = 0;
  for (const Server& server : config.servers) {
    if (auto ok = validate_server(server, repeated, name_index); !ok) return ok;
    name_index += 1 + server.aliases.size();
  }
  return {};
}

}  // namespace tavi
