#include "tavi/ipc.hpp"

#include <array>
#include <cstdint>

#include <fmt/format.h>

#include "tavi/json_reader.hpp"
#include "tavi/json_writer.hpp"
#include "tavi/socket.hpp"

namespace tavi {

namespace {

constexpr std::array<std::string_view, 6> REQUEST_VARIANTS{"Ping",   "GetConfig", "SetConfig",
                                                           "Status", "Recheck",   "Update"};
constexpr std::size_t SET_CONFIG_INDEX = 2;

static_assert(std::variant_size_v<Request> == REQUEST_VARIANTS.size());
static_assert(
    std::is_same_v<std::variant_alternative_t<SET_CONFIG_INDEX, Request>, request::SetConfig>);

std::string request_variant_expected() {
  std::string out;
  write_request_variant_expected(out);
  return out;
}

// A payload-less request from its variant index.
Request unit_request(std::size_t index) {
  switch (index) {
    case 0:
      return request::Ping{};
    case 1:
      return request::GetConfig{};
    case 3:
      return request::Status{};
    case 4:
      return request::Recheck{};
    default:
      return request::Update{};
  }
}

// `{"Name":payload}`, with the opening brace already taken.
JsonTask<Request> read_tagged_request(JsonReader& reader) {
  if (auto entered = reader.enter(); !entered) co_return fail(entered.error());
  auto key = co_await reader.next();
  if (!key) co_return fail(key.error());
  if (key->kind != JsonKind::Key) {
    co_return fail(reader.error_here("invalid length 0, expected one member naming the variant"));
  }
  auto index = match_request_variant(key->text);
  if (!index) co_return fail(reader.error_here(index.error()));

  Request request;
  if (*index == SET_CONFIG_INDEX) {
    auto config = co_await parse_config(reader);
    if (!config) co_return fail(config.error());
    request = request::SetConfig{std::move(*config)};
  } else {
    auto payload = co_await reader.next();
    if (!payload) co_return fail(payload.error());
    if (payload->kind != JsonKind::Null) {
      co_return fail(invalid_json_type(reader, *payload, "unit variant"));
    }
    request = unit_request(*index);
  }

  auto close = co_await reader.next();
  if (!close) co_return fail(close.error());
  if (close->kind != JsonKind::EndObject) {
    co_return fail(reader.error_here("invalid length, expected one member naming the variant"));
  }
  reader.leave();
  co_return request;
}

JsonTask<Request> read_request(JsonReader& reader) {
  auto first = co_await reader.next();
  if (!first) co_return fail(first.error());
  if (first->kind == JsonKind::String) {
    auto index = match_request_variant(first->text);
    if (!index) co_return fail(reader.error_here(index.error()));
    if (*index == SET_CONFIG_INDEX) {
      co_return fail(reader.error_here("invalid type: unit variant, expected newtype variant"));
    }
    co_return unit_request(*index);
  }
  if (first->kind == JsonKind::BeginObject) co_return co_await read_tagged_request(reader);
  co_return fail(invalid_json_type(reader, *first, request_variant_expected()));
}

// How many commas separate `count` elements.
std::size_t commas_between(std::size_t count) { return count == 0 ? 0 : count - 1; }

// The digits of a port as append_json_number writes them.
std::size_t number_size(std::uint16_t value) {
  std::size_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

void append_status_list(std::string& out, const std::vector<ServerStatus>& servers) {
  out += "{\"Status\":[";
  for (std::size_t i = 0; i < servers.size(); ++i) {
    if (i > 0) out.push_back(',');
    append_server_status_json(out, servers[i]);
  }
  out += "]}";
}

}  // namespace

Result<std::size_t> match_request_variant(std::string_view name) {
  for (std::size_t i = 0; i < REQUEST_VARIANTS.size(); ++i) {
    if (REQUEST_VARIANTS[i] == name) return i;
  }
  return fail(unknown_request_variant(name));
}

std::string unknown_request_variant(std::string_view name) {
  std::string out = fmt::format("unknown variant `{}`, expected one of ", name);
  for (std::size_t i = 0; i < REQUEST_VARIANTS.size(); ++i) {
    if (i > 0) out += ", ";
    out += fmt::format("`{}`", REQUEST_VARIANTS[i]);
  }
  return out;
}

void write_request_variant_expected(std::string& out) { out += "variant identifier"; }

Result<Request> parse_request(std::string_view line) {
  JsonReader reader(line);
  return reader.read(read_request(reader));
}

void append_route_json(std::string& out, const Route& route) {
  switch (route.kind) {
    case Route::Kind::Home:
      out += "\"Home\"";
      return;
    case Route::Kind::Vpn:
      out += "{\"Vpn\":";
      append_json_string(out, route.vpn_label);
      out.push_back('}');
      return;
    case Route::Kind::Unreachable:
      out += "\"Unreachable\"";
      return;
    case Route::Kind::Unknown:
      out += "\"Unknown\"";
      return;
  }
}

void append_server_status_json(std::string& out, const ServerStatus& status) {
  out += "{\"name\":";
  append_json_string(out, status.name);
  out += ",\"fqdn\":";
  append_json_string(out, status.fqdn);
  out += ",\"ip\":";
  if (status.ip) {
    append_json_string(out, *status.ip);
  } else {
    out += "null";
  }
  out += ",\"route\":";
  append_route_json(out, status.route);
  out.push_back('}');
}

std::string encode_response(const Response& response) {
  std::string line;
  line.reserve(128);
  struct Encoder {
    std::string& out;
    void operator()(const response::Pong& pong) const {
      out += "{\"Pong\":{\"version\":";
      append_json_string(out, pong.version);
      out += "}}";
    }
    void operator()(const response::Config& config) const {
      out += "{\"Config\":";
      write_config_compact(config.config, out);
      out.push_back('}');
    }
    void operator()(const response::Status& status) const {
      append_status_list(out, status.servers);
    }
    void operator()(const response::Ok&) const { out += "\"Ok\""; }
    void operator()(const response::Error& error) const {
      out += "{\"Error\":";
      append_json_string(out, error.message);
      out.push_back('}');
    }
  };
  std::visit(Encoder{line}, response);
  line.push_back('\n');
  return line;
}

std::size_t status_reply_size(const std::vector<ServerStatus>& servers) {
  // {"Status":[ ... ]} and the LF, and one comma fewer than entries.
  std::size_t size = 14 + commas_between(servers.size());
  for (const ServerStatus& status : servers) {
    // {"name":,"fqdn":,"ip":,"route":}
    size += 32 + json_string_size(status.name) + json_string_size(status.fqdn);
    size += status.ip ? json_string_size(*status.ip) : 4;
    switch (status.route.kind) {
      case Route::Kind::Home:
        size += 6;
        break;
      case Route::Kind::Vpn:
        size += 8 + json_string_size(status.route.vpn_label);
        break;
      case Route::Kind::Unreachable:
        size += 13;
        break;
      case Route::Kind::Unknown:
        size += 9;
        break;
    }
  }
  return size;
}

std::size_t config_reply_size(const tavi::Config& config) {
  // {"Config":{"domain":,"servers":[]}} and the LF, and one comma fewer than
  // servers.
  std::size_t size = 36 + json_string_size(config.domain) + commas_between(config.servers.size());
  for (const Server& server : config.servers) {
    // {"name":,"home_ip":,"vpn":[],"port":,"aliases":[]}
    size += 50 + json_string_size(server.name) + json_string_size(server.home_ip);
    size += number_size(server.port) + commas_between(server.vpn.size());
    for (const VpnTarget& target : server.vpn) {
      // {"label":,"ip":}
      size += 16 + json_string_size(target.label) + json_string_size(target.ip);
    }
    size += commas_between(server.aliases.size());
    for (const std::string& alias : server.aliases) size += json_string_size(alias);
    // ,"web_port":
    if (server.web_port) size += 12 + number_size(*server.web_port);
    if (!server.extra_ports.empty()) {
      // ,"extra_ports":[]
      size += 17 + commas_between(server.extra_ports.size());
      for (const std::uint16_t port : server.extra_ports) size += number_size(port);
    }
  }
  return size;
}

void write_response(int fd, const Response& response) {
  // A controller that went away only loses its own reply.
  (void)send_all(fd, encode_response(response));
}

}  // namespace tavi
