// The published state of one server.
#pragma once

#include <optional>
#include <string>

namespace tavi {

struct Route {
  enum class Kind { Home, Vpn, Unreachable, Unknown };
  Kind kind = Kind::Unknown;
  std::string vpn_label;  // only for Vpn

  static Route home() { return {Kind::Home, {}}; }
  static Route vpn(std::string label) { return {Kind::Vpn, std::move(label)}; }
  static Route unreachable() { return {Kind::Unreachable, {}}; }
  static Route unknown() { return {Kind::Unknown, {}}; }
  friend bool operator==(const Route&, const Route&) = default;
};

struct ServerStatus {
  std::string name;
  std::string fqdn;
  std::optional<std::string> ip;
  Route route;
  friend bool operator==(const ServerStatus&, const ServerStatus&) = default;
};

}  // namespace tavi
