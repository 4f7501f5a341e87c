#include "tavi/channel.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace tavi {
namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInOrderAndDisconnectsWithTheLastSender) {
  auto [tx, rx] = make_channel<int>();
  Sender<int> copy = tx;
  EXPECT_TRUE(tx.send(1));
  EXPECT_TRUE(copy.send(2));
  tx.release();
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.try_recv(), RecvStatus::Empty);  // one sender is still alive
  copy.release();
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.try_recv(), RecvStatus::Disconnected);
  EXPECT_EQ(rx.recv_for(1s), RecvStatus::Disconnected);
}

TEST(Channel, QueuedMessagesSurviveTheirSenders) {
  auto [tx, rx] = make_channel<Signal>();
  tx.send({});
  tx.release();
  std::optional<Signal> got;
  EXPECT_EQ(rx.try_recv(&got), RecvStatus::Message);
  EXPECT_TRUE(got);
  EXPECT_EQ(rx.try_recv(), RecvStatus::Disconnected);
}

TEST(Channel, DrainDropsWhatIsQueuedAndTellsWhetherSendersRemain) {
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 3; ++i) tx.send(i);
  EXPECT_EQ(rx.drain(), RecvStatus::Empty);
  EXPECT_EQ(rx.try_recv(), RecvStatus::Empty) << "nothing is left after a drain";
  tx.send(7);
  EXPECT_EQ(rx.try_recv(), RecvStatus::Message) << "later messages still arrive";
  tx.send(8);
  tx.release();
  EXPECT_EQ(rx.drain(), RecvStatus::Disconnected);
  EXPECT_EQ(rx.try_recv(), RecvStatus::Disconnected);
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
  auto [tx, rx] = make_channel<Signal>();
  { auto gone = std::move(rx); }
  EXPECT_FALSE(tx.send({}));
}

TEST(Channel, ASenderWithoutChannelCopiesToAnotherThatCannotSend) {
  Sender<int> empty;
  Sender<int> copy = empty;
  EXPECT_FALSE(copy.send(1));

  auto [tx, rx] = make_channel<int>();
  Sender<int> kept = tx;
  tx.release();
  Sender<int> from_released = tx;
  from_released = tx;
  EXPECT_FALSE(from_released.send(2));
  // Only the live copy counts: releasing it disconnects the channel.
  kept.release();
  EXPECT_EQ(rx.try_recv(), RecvStatus::Disconnected);
}

TEST(Channel, AReceiverAssignedOverIsGoneForItsSenders) {
  auto [old_tx, rx] = make_channel<Signal>();
  auto [new_tx, other_rx] = make_channel<Signal>();
  rx = std::move(other_rx);
  EXPECT_FALSE(old_tx.send({}));
  EXPECT_TRUE(new_tx.send({}));
  EXPECT_EQ(rx.try_recv(), RecvStatus::Message);
}

TEST(Channel, TimedReceiveWaitsAndWakesOnASend) {
  auto [tx, rx] = make_channel<int>();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rx.recv_for(100ms), RecvStatus::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);

  std::thread later([tx = tx] {
    std::this_thread::sleep_for(50ms);
    tx.send(7);
  });
  std::optional<int> got;
  EXPECT_EQ(rx.recv_for(10s, &got), RecvStatus::Message);
  EXPECT_EQ(got, 7);
  later.join();
}

}  // namespace
}  // namespace tavi
