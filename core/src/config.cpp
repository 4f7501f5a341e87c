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

auto read_port(JsonReader& reader) {
  return reader.next_as(
      [](const JsonReader& r, const Result<JsonToken>& token) -> Result<std::uint16_t> {
        auto value = json_unsigned_value(r, token, 0xFFFF, "u16");
        if (!value) return fail(value.error());
        return static_cast<std::uint16_t>(*value);
      });
}

auto read_alias(JsonReader& reader) { return read_json_string(reader); }

JsonTask<void> read_vpn_target_field(JsonReader& reader, VpnTarget& target, std::size_t field) {
  co_return co_await read_json_string_into(reader, field == 0 ? target.label : target.ip);
}

JsonTask<VpnTarget> read_vpn_target(JsonReader& reader) {
  return read_json_record<VpnTarget>(
      reader, {"struct VpnTarget", VPN_TARGET_FIELDS, match_vpn_target_field},
      read_vpn_target_field);
}

JsonTask<void> read_server_field(JsonReader& reader, Server& server, std::size_t field) {
  switch (field) {
    case 0:
      co_return co_await read_json_string_into(reader, server.name);
    case 1:
      co_return co_await read_json_string_into(reader, server.home_ip);
    case 2:
      co_return co_await read_json_list(reader, read_vpn_target, server.vpn);
    case 3: {
      auto port = co_await read_port(reader);
      if (!port) co_return fail(port.error());
      server.port = *port;
      co_return {};
    }
    case 4:
      co_return co_await read_json_list(reader, read_alias, server.aliases);
    case 5: {
      // null means absent, exactly like leaving the member out.
      if (co_await reader.peek_kind() == JsonKind::Null) {
        (void)co_await reader.next();
        server.web_port.reset();
        co_return {};
      }
      auto port = co_await read_port(reader);
      if (!port) co_return fail(port.error());
      server.web_port = *port;
      co_return {};
    }
    default:
      co_return co_await read_json_list(reader, read_port, server.extra_ports);
  }
}

JsonTask<Server> read_server(JsonReader& reader) {
  return read_json_record<Server>(reader, {"struct Server", SERVER_FIELDS, match_server_field},
                                  read_server_field);
}

JsonTask<void> read_config_field(JsonReader& reader, Config& config, std::size_t field) {
  if (field == 0) co_return co_await read_json_string_into(reader, config.domain);
  co_return co_await read_json_list(reader, read_server, config.servers);
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

JsonTask<Config> parse_config(JsonReader& reader) {
  return read_json_record<Config>(reader, {"struct Config", CONFIG_FIELDS, match_config_field},
                                  read_config_field);
}

Result<Config> parse_config(std::string_view document) {
  JsonReader reader(document);
  return reader.read(parse_config(reader));
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
