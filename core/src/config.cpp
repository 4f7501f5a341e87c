#include "tavi/config.hpp"

#include <array>

#include "tavi/json_writer.hpp"

namespace tavi {

namespace {

constexpr std::array<JsonField, 2> CONFIG_FIELDS{{{"domain", true}, {"servers", true}}};
constexpr std::array<JsonField, 7> SERVER_FIELDS{{{"name", true},
                                                   {"home_ip", true},
                                                   {"vpn", false},
                                                   {"port", false},
                                                   {"aliases", false},
                                                   {"web_port", false},
                                                   {"extra_ports", false}}};
constexpr std::array<JsonField, 2> VPN_TARGET_FIELDS{{{"label", true}, {"ip", true}}};

Result<std::uint16_t> read_port(JsonReader& reader) {
  auto value = read_json_unsigned(reader, 0xFFFF, "u16");
  if (!value) return fail(value.error());
  return static_cast<std::uint16_t>(*value);
}

Result<VpnTarget> read_vpn_target(JsonReader& reader) {
  VpnTarget target;
  auto ok = read_json_record(reader, "struct VpnTarget", VPN_TARGET_FIELDS, match_vpn_target_field,
                             [&](std::size_t field) -> Result<void> {
                               return read_json_string_into(reader,
                                                            field == 0 ? target.label : target.ip);
                             });
  if (!ok) return fail(ok.error());
  return target;
}

Result<void> read_server_field(JsonReader& reader, Server& server, std::size_t field) {
  switch (field) {
    case 0:
      return read_json_string_into(reader, server.name);
    case 1:
      return read_json_string_into(reader, server.home_ip);
    case 2:
      return read_json_array(reader, [&]() -> Result<void> {
        auto target = read_vpn_target(reader);
        if (!target) return fail(target.error());
        server.vpn.push_back(std::move(*target));
        return {};
      });
    case 3: {
      auto port = read_port(reader);
      if (!port) return fail(port.error());
      server.port = *port;
      return {};
    }
    case 4:
      return read_json_array(reader, [&]() -> Result<void> {
        auto alias = read_json_string(reader);
        if (!alias) return fail(alias.error());
        server.aliases.push_back(std::move(*alias));
        return {};
      });
    case 5: {
      // null means absent, exactly like leaving the member out.
      if (reader.peek_kind() == JsonKind::Null) {
        (void)reader.next();
        server.web_port.reset();
        return {};
      }
      auto port = read_port(reader);
      if (!port) return fail(port.error());
      server.web_port = *port;
      return {};
    }
    default:
      return read_json_array(reader, [&]() -> Result<void> {
        auto port = read_port(reader);
        if (!port) return fail(port.error());
        server.extra_ports.push_back(*port);
        return {};
      });
  }
}

Result<Server> read_server(JsonReader& reader) {
  Server server;
  auto ok = read_json_record(reader, "struct Server", SERVER_FIELDS, match_server_field,
                             [&](std::size_t field) { return read_server_field(reader, server, field); });
  if (!ok) return fail(ok.error());
  return server;
}

// Both written forms differ only in the white space between tokens.
class ConfigWriter {
 public:
  ConfigWriter(std::string& out, bool indented) : out_(out), indented_(indented) {}

  void write(const Config& config) {
    begin('{');
    member("domain");
    append_json_string(out_, config.domain);
    member("servers");
    array(config.servers, [&](const Server& server) { write(server); });
    end('}');
  }

 private:
  void write(const Server& server) {
    begin('{');
    member("name");
    append_json_string(out_, server.name);
    member("home_ip");
    append_json_string(out_, server.home_ip);
    member("vpn");
    array(server.vpn, [&](const VpnTarget& target) {
      begin('{');
      member("label");
      append_json_string(out_, target.label);
      member("ip");
      append_json_string(out_, target.ip);
      end('}');
    });
    member("port");
    append_json_number(out_, server.port);
    member("aliases");
    array(server.aliases, [&](const std::string& alias) { append_json_string(out_, alias); });
    if (server.web_port) {
      member("web_port");
      append_json_number(out_, *server.web_port);
    }
    if (!server.extra_ports.empty()) {
      member("extra_ports");
      array(server.extra_ports, [&](std::uint16_t port) { append_json_number(out_, port); });
    }
    end('}');
  }

  template <class T, class F>
  void array(const std::vector<T>& items, F write_item) {
    if (items.empty()) {
      out_ += "[]";
      return;
    }
    begin('[');
    for (const T& item : items) {
      separate();
      write_item(item);
    }
    end(']');
  }

  void begin(char bracket) {
    out_.push_back(bracket);
    ++level_;
    first_.push_back(true);
  }
  void end(char bracket) {
    --level_;
    first_.pop_back();
    newline();
    out_.push_back(bracket);
  }
  // Starts a member or an element: a comma unless it is the first, then its line.
  void separate() {
    if (!first_.back()) out_.push_back(',');
    first_.back() = false;
    newline();
  }
  void member(std::string_view key) {
    separate();
    append_json_string(out_, key);
    out_ += indented_ ? ": " : ":";
  }
  void newline() {
    if (!indented_) return;
    out_.push_back('\n');
    out_.append(static_cast<std::size_t>(2 * level_), ' ');
  }

  std::string& out_;
  bool indented_;
  int level_ = 0;
  std::vector<bool> first_;
};

}  // namespace

std::optional<std::size_t> match_config_field(std::string_view key) {
  return match_json_field(CONFIG_FIELDS, key);
}
std::optional<std::size_t> match_server_field(std::string_view key) {
  return match_json_field(SERVER_FIELDS, key);
}
std::optional<std::size_t> match_vpn_target_field(std::string_view key) {
  return match_json_field(VPN_TARGET_FIELDS, key);
}

Result<Config> parse_config(JsonReader& reader) {
  Config config;
  auto ok = read_json_record(
      reader, "struct Config", CONFIG_FIELDS, match_config_field, [&](std::size_t field) -> Result<void> {
        if (field == 0) return read_json_string_into(reader, config.domain);
        return read_json_array(reader, [&]() -> Result<void> {
          auto server = read_server(reader);
          if (!server) return fail(server.error());
          config.servers.push_back(std::move(*server));
          return {};
        });
      });
  if (!ok) return fail(ok.error());
  return config;
}

Result<Config> parse_config(std::string_view document) {
  JsonReader reader(document);
  auto config = parse_config(reader);
  if (!config) return config;
  if (auto rest = reader.finish(); !rest) return fail(rest.error());
  return config;
}

std::string write_config_indented(const Config& config) {
  std::string out;
  ConfigWriter(out, true).write(config);
  return out;
}

void write_config_compact(const Config& config, std::string& out) {
  ConfigWriter(out, false).write(config);
}

std::vector<std::string> host_names(const Server& server, std::string_view domain) {
  std::vector<std::string> names;
  names.reserve(server.aliases.size() + 1);
  const auto join = [&](std::string_view label) {
    std::string name(label);
    name += '.';
    name.append(domain);
    names.push_back(std::move(name));
  };
  join(server.name);
  for (const std::string& alias : server.aliases) join(alias);
  return names;
}

}  // namespace tavi
