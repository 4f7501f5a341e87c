// Starting threads, and capping how many of one kind run at once.
//
// Only start-up's long-lived threads end the process when the system refuses
// them (spawn_detached): the daemon cannot work without them, and launchd
// starts it again. Once it runs, any local process can drive the thread count
// up, so every other thread is started with try_spawn_* and a refusal is
// handled where it happens.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "tavi/os_error.hpp"

namespace tavi {

// Ends the process with "tidak bisa memulai thread {what}: {error}" when refused.
void spawn_detached(std::string_view what, std::function<void()> body);
std::thread spawn_joinable(std::string_view what, std::function<void()> body);

// The thread, or the system's reason for refusing it. A refused body is
// destroyed unrun, so whatever it owned (a descriptor, a sender, a slot) is
// released with it. Move-only bodies are fine.
template <class F>
OsResult<std::thread> try_spawn_joinable(F&& body) {
  try {
    return std::thread(std::forward<F>(body));
  } catch (const std::system_error& e) {
    return std::unexpected(OsError{e.code().value()});
  }
}

template <class F>
OsResult<void> try_spawn_detached(F&& body) {
  OsResult<std::thread> thread = try_spawn_joinable(std::forward<F>(body));
  if (!thread) return std::unexpected(thread.error());
  thread->detach();
  return {};
}

// At most a fixed number of threads of one kind at once. A slot is taken
// before its thread is started and moved into the thread's body; it comes back
// when the body is destroyed: after the thread has run it, or unrun when the
// thread was refused. The count sits behind the pool's own mutex; slots may
// outlive the ThreadSlots they came from.
class ThreadSlots {
  struct Pool {
    std::mutex mutex;
    std::condition_variable freed;
    std::size_t free = 0;
  };

 public:
  class Slot {
   public:
    Slot() = default;
    Slot(Slot&&) noexcept = default;
    Slot& operator=(Slot&& other) noexcept {
      Slot old(std::move(*this));
      pool_ = std::move(other.pool_);
      return *this;
    }
    ~Slot();

   private:
    friend class ThreadSlots;
    explicit Slot(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}
    std::shared_ptr<Pool> pool_;
  };

  explicit ThreadSlots(std::size_t count);

  // Waits while every slot is taken.
  Slot take();
  // Waits at most `limit` for a free slot; nothing when none came free.
  std::optional<Slot> take_for(std::chrono::milliseconds limit);

 private:
  std::shared_ptr<Pool> pool_;
};

}  // namespace tavi
