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

// A SetConfig whose unknown member holds `open`, `unit` as often as it fits,
// and `close`.
std::string set_config_with_unknown_run(std::string_view open, std::string_view unit,
                                        std::string_view close) {
  std::string line(SET_CONFIG_WITH_UNKNOWN_MEMBER);
  line += open;
  const std::size_t room = REQUEST_SHAPE_BYTES - SET_CONFIG_END.size() - close.size();
  while (line.size() + unit.size() <= room) line += unit;
  line += close;
  return padded(std::move(line), SET_CONFIG_END);
}

// A SetConfig of as many servers as the line holds, `server(i)` the i-th.
template <class Server>
std::string set_config_with_servers(Server server) {
  std::string line = R"({"SetConfig":{"domain":"home.arpa","servers":[)";
  constexpr std::string_view END = "]}}\n";
  for (unsigned i = 0;; ++i) {
    std::string next = i > 0 ? "," : "";
    next += server(i);
    if (line.size() + next.size() + END.size() > REQUEST_SHAPE_BYTES) break;
    line += next;
  }
  return padded(std::move(line), END);
}

// Distinct short names: "a" and the number in base 36.
std::string short_name(unsigned i) {
  std::string name = "a";
  do {
    name += "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
    i /= 36;
  } while (i != 0);
  return name;
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

std::string set_config_with_bad_exponent() { return set_config_with_unknown_run("0.", "1", "e"); }

std::string set_config_with_bare_point() { return set_config_with_unknown_run("", "1", "."); }

std::string set_config_with_numbers_beyond_a_double() {
  return set_config_with_unknown_run("[", "1e400,", "0]");
}

std::string set_config_with_lone_surrogates() {
  return set_config_with_unknown_run("\"", "\\ud800", "\"");
}

std::string set_config_with_many_servers() {
  return set_config_with_servers([](unsigned i) {
    return fmt::format(
        R"({{"name":"server-{}","home_ip":"192.168.{}.{}","vpn":[{{"label":"wg","ip":"10.8.0.{}"}}],)"
        R"("port":22,"aliases":["files-{}"],"web_port":8080}})",
        i, i / 250 % 250, i % 250 + 1, i % 250 + 1, i);
  });
}

std::string set_config_with_tiny_servers() {
  return set_config_with_servers(
      [](unsigned i) { return fmt::format(R"(["{}","::1"])", short_name(i)); });
}

std::string set_config_with_many_aliases() {
  std::string line = R"({"SetConfig":["home.arpa",[["a","::1",[],22,[)";
  constexpr std::string_view END = "]]]]}\n";
  for (unsigned i = 0;; ++i) {
    const std::string next = fmt::format(R"({}"{}")", i > 0 ? "," : "", short_name(i));
    if (line.size() + next.size() + END.size() > REQUEST_SHAPE_BYTES) break;
    line += next;
  }
  return padded(std::move(line), END);
}

}  // namespace tavi
