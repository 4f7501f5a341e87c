// The configuration model: records, their JSON reading rules and written forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavi/json_reader.hpp"
#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::uint16_t DEFAULT_PORT = 22;

struct VpnTarget {
  std::string label;
  std::string ip;
  friend bool operator==(const VpnTarget&, const VpnTarget&) = default;
};

struct Server {
  std::string name;
  std::string home_ip;
  std::vector<VpnTarget> vpn;
  std::uint16_t port = DEFAULT_PORT;
  std::vector<std::string> aliases;
  std::optional<std::uint16_t> web_port;
  std::vector<std::uint16_t> extra_ports;
  friend bool operator==(const Server&, const Server&) = default;
};

struct Config {
  std::string domain;
  std::vector<Server> servers;
  friend bool operator==(const Config&, const Config&) = default;
};

// Field positions of a member key, or nothing for a key to skip.
std::optional<std::size_t> match_config_field(std::string_view key);
std::optional<std::size_t> match_server_field(std::string_view key);
std::optional<std::size_t> match_vpn_target_field(std::string_view key);

// Reads one whole document: only JSON white space may follow the value.
Result<Config> parse_config(std::string_view document);
// Reads one Config value inside a larger document.
JsonTask<Config> parse_config(JsonReader& reader);

// The configuration file's form: two-space indentation, LF, no final LF.
std::string write_config_indented(const Config& config);
// The compact form used inside the control replies, appended to `out`.
void write_config_compact(const Config& config, std::string& out);

// The server's name and then each alias, each joined to `domain` with a dot.
std::vector<std::string> host_names(const Server& server, std::string_view domain);

}  // namespace tavi
