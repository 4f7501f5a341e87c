// An unbounded first-in first-out channel with counted senders.
//
// Any number of Sender copies feed one Receiver. The receiver sees the channel
// disconnected once the last sender is gone and the queue is empty; a send
// fails once the receiver is gone. A send never blocks. All state sits behind
// the channel's own mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace tavi {

// The payload of channels whose messages carry nothing.
struct Signal {};

enum class RecvStatus { Message, Timeout, Empty, Disconnected };

namespace detail {

template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  std::size_t senders = 0;
  bool receiver_alive = true;
};

}  // namespace detail

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {
    // A released or default sender copies to one that cannot send either.
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  Sender(const Sender& other) : Sender(other.state_) {}
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // False when the receiver is gone; the message is then dropped.
  bool send(T message) const {
    if (!state_) return false;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(message));
    }
    state_->ready.notify_one();
    return true;
  }

  void release() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();
    state_.reset();
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      close();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // Blocks for the next message; nothing once every sender is gone.
  std::optional<T> recv() {
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
    return take(lock);
  }

  // Waits at most `limit` on the steady clock.
  RecvStatus recv_for(std::chrono::steady_clock::duration limit, std::optional<T>* out = nullptr) {
    std::unique_lock lock(state_->mutex);
    const bool woke = state_->ready.wait_for(
        lock, limit, [&] { return !state_->queue.empty() || state_->senders == 0; });
    if (!woke) return RecvStatus::Timeout;
    return deliver(lock, out);
  }

  // Takes a queued message without waiting.
  RecvStatus try_recv(std::optional<T>* out = nullptr) {
    std::unique_lock lock(state_->mutex);
    if (state_->queue.empty() && state_->senders != 0) return RecvStatus::Empty;
    return deliver(lock, out);
  }

  // Drops every queued message, for receivers to which any number of
  // messages mean one: Empty, or Disconnected once every sender is gone.
  RecvStatus drain() {
    std::lock_guard lock(state_->mutex);
    state_->queue.clear();
    return state_->senders == 0 ? RecvStatus::Disconnected : RecvStatus::Empty;
  }

 private:
  // Senders fail from now on; what was queued is dropped.
  void close() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
  }
  std::optional<T> take(std::unique_lock<std::mutex>&) {
    if (state_->queue.empty()) return std::nullopt;
    T message = std::move(state_->queue.front());
    state_->queue.pop_front();
    return message;
  }
  RecvStatus deliver(std::unique_lock<std::mutex>& lock, std::optional<T>* out) {
    std::optional<T> message = take(lock);
    if (!message) return RecvStatus::Disconnected;
    if (out != nullptr) *out = std::move(message);
    return RecvStatus::Message;
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace tavi
