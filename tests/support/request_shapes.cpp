#include "request_shapes.hpp"

#include <fmt/format.h>

namespace tavi {

namespace {

constexpr std::string_view SET_CONFIG_WITH_UNKNOWN_MEMBER =
    R"({"SetConfig":{"domain":"home.arpa","servers":[],"unknown":)";
constexpr std::string_view SET_CONFIG_END = "}}\n";

// `head`, then white space up to the size, then `tail`.
std::string padded(std::string head, std::string_view tail) {
  head.resize(REQUEST_SHAPE_BYTES - tail.size(), ' ');
  head.append(tail);
  return head;
}

}  // namespace

std::string request_refused_at_first_byte() {
  return std::string(REQUEST_SHAPE_BYTES - 1, '[') + "\n";
}

std::string set_config_with_flat_array() {
  std::string line(SET_CONFIG_WITH_UNKNOWN_MEMBER);
  line += '[';
  const std::size_t room = REQUEST_SHAPE_BYTES - SET_CONFIG_END.size() - 16;
  for (unsigned i = 0; line.size() < room; ++i) line += fmt::format("{},", i % 100000);
  line += "0]";
  return padded(std::move(line), SET_CONFIG_END);
}

std::string set_config_with_deep_nest() {
  std::string line(SET_CONFIG_WITH_UNKNOWN_MEMBER);
  const std::size_t depth = (REQUEST_SHAPE_BYTES - line.size() - SET_CONFIG_END.size()) / 2;
  line.append(depth, '[');
  line.append(depth, ']');
  return padded(std::move(line), SET_CONFIG_END);
}

std::string set_config_with_many_servers() {
  std::string line = R"({"SetConfig":{"domain":"home.arpa","servers":[)";
  constexpr std::string_view END = "]}}\n";
  const std::size_t room = REQUEST_SHAPE_BYTES - END.size() - 200;
  for (unsigned i = 0; line.size() < room; ++i) {
    if (i > 0) line += ',';
    line += fmt::format(
        R"({{"name":"server-{}","home_ip":"192.168.{}.{}","vpn":[{{"label":"wg","ip":"10.8.0.{}"}}],)"
        R"("port":22,"aliases":["files-{}"],"web_port":8080}})",
        i, i / 250 % 250, i % 250 + 1, i % 250 + 1, i);
  }
  return padded(std::move(line), END);
}

}  // namespace tavi
