#include "apply_loop.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace tavi {
namespace {

using namespace std::chrono_literals;

TEST(ApplyLoop, RunsAtOnceAndQueuedMessagesGiveOneCycle) {
  auto [sender, receiver] = make_channel<Signal>();
  std::optional<SignalSender> last(std::move(sender));
  int cycles = 0;
  run_apply_loop(receiver, 1h, [&] {
    ++cycles;
    if (cycles == 1) {
      // Sent while a cycle runs: exactly one more cycle, right after it.
      for (int i = 0; i < 3; ++i) last->send(Signal{});
    } else {
      last.reset();  // lets the loop return
    }
  });
  EXPECT_EQ(cycles, 2);
}

TEST(ApplyLoop, WithoutMessagesTheIntervalStartsTheNextCycle) {
  auto [sender, receiver] = make_channel<Signal>();
  std::optional<SignalSender> last(std::move(sender));
  std::vector<std::chrono::steady_clock::time_point> starts;
  run_apply_loop(receiver, 50ms, [&] {
    starts.push_back(std::chrono::steady_clock::now());
    std::this_thread::sleep_for(30ms);  // the wait counts from the end of a cycle
    if (starts.size() == 3) last.reset();
  });
  ASSERT_EQ(starts.size(), 3u);
  for (std::size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 1], 80ms);
}

}  // namespace
}  // namespace tavi
