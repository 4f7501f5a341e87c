#include "watcher.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <thread>

#include "tavi/text.hpp"

namespace tavi {

namespace {

// fe80::/16 exactly: the rest of fe80::/10 is listed.
bool is_fe80(const IpAddress& address) {
  const auto* v6 = std::get_if<Ipv6Address>(&address);
  return v6 != nullptr && v6->bytes[0] == 0xfe && v6->bytes[1] == 0x80;
}

}  // namespace

std::vector<std::string> interface_snapshot(const OsResult<std::vector<InterfaceAddress>>& listed) {
  std::vector<std::string> texts;
  if (!listed) return texts;
  for (const InterfaceAddress& entry : *listed) {
    if (is_fe80(entry.address) || is_loopback(entry.address)) continue;
    texts.push_back(fmt::format("{}={}", utf8_lossy(entry.name), format_ip_address(entry.address)));
  }
  std::sort(texts.begin(), texts.end());
  return texts;
}

std::vector<std::string> interface_snapshot() {
  return interface_snapshot(platform::list_interfaces());
}

void watch_network(SignalSender recheck, const std::function<std::vector<std::string>()>& snapshot,
                   std::chrono::milliseconds interval, std::chrono::milliseconds settle_delay) {
  std::vector<std::string> baseline = snapshot();
  for (;;) {
    std::this_thread::sleep_for(interval);
    if (snapshot() == baseline) continue;
    // Changes during the settle delay join this one; the snapshot that showed
    // the change is not the new baseline.
    std::this_thread::sleep_for(settle_delay);
    baseline = snapshot();
    if (!recheck.send(Signal{})) return;
  }
}

void watch_network(SignalSender recheck) {
  watch_network(
      std::move(recheck), [] { return interface_snapshot(); }, WATCH_INTERVAL, WATCH_SETTLE_DELAY);
}

}  // namespace tavi
