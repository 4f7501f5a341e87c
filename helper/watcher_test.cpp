#include "watcher.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace tavi {
namespace {

using namespace std::chrono_literals;
using Snapshot = std::vector<std::string>;

InterfaceAddress entry(std::string name, std::string_view address) {
  auto ip = parse_ip_address(address);
  EXPECT_TRUE(ip) << address;
  return InterfaceAddress{std::move(name), ip.value_or(IpAddress{})};
}

TEST(InterfaceSnapshot, DropsLoopbackAndFe80OnlyAndSortsByBytes) {
  const std::vector<InterfaceAddress> listed = {
      entry("utun3", "10.8.0.2"),
      entry("lo0", "127.0.0.1"),
      entry("lo0", "127.77.0.2"),
      entry("en0", "127.1.2.3"),  // loopback on any interface
      entry("lo0", "::1"),
      entry("en0", "fe80::1"),
      entry("en0", "fe80:1::5"),  // still fe80::/16
      entry("en0", "fe81::1"),    // rest of fe80::/10 counts
      entry("en0", "febf::1"),
      entry("en0", "::2"),
      entry("en0", "::ffff:127.0.0.1"),  // mapped, not ::1: kept
      entry("en0", "2001:DB8:0:0:0:0:0:1"),
      entry("en0", "192.168.1.10"),
      entry("en", "192.168.1.10"),  // a prefix sorts first
  };
  const Snapshot expected = {
      "en0=192.168.1.10", "en0=2001:db8::1", "en0=::2",         "en0=::ffff:127.0.0.1",
      "en0=fe81::1",      "en0=febf::1",     "en=192.168.1.10", "utun3=10.8.0.2",
  };
  // "en0=" sorts before "en=": '0' is 0x30, '=' is 0x3d.
  EXPECT_EQ(interface_snapshot(listed), expected);
}

TEST(InterfaceSnapshot, OrderIsIrrelevantDuplicatesCountAndTheNameIsPartOfTheText) {
  const std::vector<InterfaceAddress> a = {entry("en0", "10.0.0.1"), entry("en1", "10.0.0.2")};
  const std::vector<InterfaceAddress> b = {entry("en1", "10.0.0.2"), entry("en0", "10.0.0.1")};
  EXPECT_EQ(interface_snapshot(a), interface_snapshot(b));

  const std::vector<InterfaceAddress> twice = {entry("en0", "10.0.0.1"), entry("en0", "10.0.0.1")};
  EXPECT_EQ(interface_snapshot(twice), (Snapshot{"en0=10.0.0.1", "en0=10.0.0.1"}));
  EXPECT_NE(interface_snapshot(twice), interface_snapshot(std::vector{entry("en0", "10.0.0.1")}));

  const std::vector<InterfaceAddress> moved = {entry("en0", "10.0.0.2"), entry("en1", "10.0.0.1")};
  EXPECT_NE(interface_snapshot(a), interface_snapshot(moved));
}

TEST(InterfaceSnapshot, InvalidNameBytesBecomeReplacementCharacters) {
  const std::vector<InterfaceAddress> listed = {
      entry("en\xff"
            "0",
            "10.0.0.1")};
  EXPECT_EQ(interface_snapshot(listed), (Snapshot{"en\xEF\xBF\xBD"
                                                  "0=10.0.0.1"}));
}

TEST(InterfaceSnapshot, AnUnavailableListGivesNothing) {
  EXPECT_EQ(interface_snapshot(std::unexpected(OsError{ENOMEM})), Snapshot{});
}

TEST(InterfaceSnapshot, TheMachineListHasNoLoopbackEntries) {
  auto listed = platform::list_interfaces();
  ASSERT_TRUE(listed);
  bool saw_loopback = false;
  for (const auto& e : *listed) saw_loopback = saw_loopback || is_loopback(e.address);
  EXPECT_TRUE(saw_loopback) << "the system list should include lo's 127.0.0.1";
  for (const auto& text : interface_snapshot()) {
    EXPECT_EQ(text.find("=127."), std::string::npos) << text;
    EXPECT_EQ(text.find("=fe80:"), std::string::npos) << text;
  }
}

// Drives the watch loop over a scripted list of snapshots, one per call. Once
// the script is used up, the receiver is counted and dropped and every further
// snapshot differs, so the loop's next send fails and it returns.
class ScriptedWatch {
 public:
  explicit ScriptedWatch(std::vector<Snapshot> script) : script_(std::move(script)) {}

  int messages_sent() {
    auto [sender, receiver] = make_channel<Signal>();
    receiver_.emplace(std::move(receiver));
    watch_network(
        std::move(sender), [this] { return next(); }, 1ms, 1ms);
    return counted_;
  }

 private:
  Snapshot next() {
    if (calls_ < script_.size()) return script_[calls_++];
    if (receiver_) {
      while (receiver_->try_recv() == RecvStatus::Message) ++counted_;
      receiver_.reset();
    }
    return {"end=" + std::to_string(calls_++)};
  }

  std::vector<Snapshot> script_;
  std::size_t calls_ = 0;
  std::optional<SignalReceiver> receiver_;
  int counted_ = 0;
};

TEST(WatchNetwork, OneMessagePerDetectedChange) {
  const Snapshot a = {"en0=10.0.0.1"}, b = {"en0=10.0.0.2"}, c = {"en0=10.0.0.3"}, none = {};
  struct Case {
    const char* what;
    std::vector<Snapshot> script;  // baseline, then the snapshots the loop takes
    int messages;
  };
  const std::vector<Case> cases = {
      {"no change", {a, a, a, a}, 0},
      // change seen, settle snapshot b becomes the baseline; b again is no change
      {"one change", {a, b, b, b, b}, 1},
      // a change undone within the settle delay: one message, baseline a again
      {"reverted", {a, b, a, a, a}, 1},
      // another change during the settle delay is absorbed
      {"absorbed", {a, b, c, c, c}, 1},
      // the baseline is the settle snapshot, not the one that showed the change
      {"third snapshot is the baseline", {a, b, c, b, b}, 2},
      // the list lost and regained
      {"list lost then back", {a, none, none, a, a}, 2},
      {"lost still at settle", {a, none, none, none}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ScriptedWatch(c.script).messages_sent(), c.messages);
  }
}

}  // namespace
}  // namespace tavi
