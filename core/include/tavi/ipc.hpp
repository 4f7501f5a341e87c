// The control protocol: one JSON request line in, at most one JSON reply line
// out, and the loopback address the daemon listens on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tavi/config.hpp"
#include "tavi/ip.hpp"
#include "tavi/result.hpp"
#include "tavi/status.hpp"

namespace tavi {

namespace request {
struct Ping {
  friend bool operator==(const Ping&, const Ping&) = default;
};
struct GetConfig {
  friend bool operator==(const GetConfig&, const GetConfig&) = default;
};
struct SetConfig {
  tavi::Config config;
  friend bool operator==(const SetConfig&, const SetConfig&) = default;
};
struct Status {
  friend bool operator==(const Status&, const Status&) = default;
};
struct Recheck {
  friend bool operator==(const Recheck&, const Recheck&) = default;
};
struct Update {
  friend bool operator==(const Update&, const Update&) = default;
};
}  // namespace request

// The alternatives stand in wire order: index() is the variant's index.
using Request = std::variant<request::Ping, request::GetConfig, request::SetConfig, request::Status,
                             request::Recheck, request::Update>;

namespace response {
struct Pong {
  std::string version;
  friend bool operator==(const Pong&, const Pong&) = default;
};
struct Config {
  tavi::Config config;
  friend bool operator==(const Config&, const Config&) = default;
};
struct Status {
  std::vector<ServerStatus> servers;
  friend bool operator==(const Status&, const Status&) = default;
};
struct Ok {
  friend bool operator==(const Ok&, const Ok&) = default;
};
struct Error {
  std::string message;
  friend bool operator==(const Error&, const Error&) = default;
};
}  // namespace response

using Response =
    std::variant<response::Pong, response::Config, response::Status, response::Ok, response::Error>;

// Reads one request line. The failure text stays inside the process: a
// refused line is answered with nothing at all.
Result<Request> parse_request(std::string_view line);

// The index of the variant named exactly `name` (case-sensitive), or the
// unknown-variant failure.
Result<std::size_t> match_request_variant(std::string_view name);
// "unknown variant `x`, expected one of `Ping`, ..., `Update`"
std::string unknown_request_variant(std::string_view name);
// Appends what a request's variant name was expected to be.
void write_request_variant_expected(std::string& out);

// The JSON forms inside a Status reply.
void append_route_json(std::string& out, const Route& route);
void append_server_status_json(std::string& out, const ServerStatus& status);

// The reply as compact JSON followed by one LF.
std::string encode_response(const Response& response);
// The size of the Status reply line for `servers`, its LF included, without
// building it.
std::size_t status_reply_size(const std::vector<ServerStatus>& servers);
// The size of the Config reply line for `config`, its LF included, without
// building it.
std::size_t config_reply_size(const tavi::Config& config);

// Sends the whole reply line with one write-all; a failed write is ignored.
// The connection is neither closed nor shut down.
void write_response(int fd, const Response& response);

// Where the control port listens when TAVI_IPC_ADDR is unset or unusable.
inline constexpr SocketAddress DEFAULT_IPC_ADDR{Ipv4Address{{127, 0, 0, 1}}, 47811, 0};

// TAVI_IPC_ADDR when it holds a loopback socket address, else DEFAULT_IPC_ADDR.
// The environment is read at every call.
SocketAddress ipc_address();

}  // namespace tavi
