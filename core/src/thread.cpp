#include "tavi/thread.hpp"

#include <fmt/format.h>

#include "tavi/fatal.hpp"

namespace tavi {

std::thread spawn_joinable(std::string_view what, std::function<void()> body) {
  OsResult<std::thread> thread = try_spawn_joinable(std::move(body));
  if (!thread) die(fmt::format("tidak bisa memulai thread {}: {}", what, thread.error().text()));
  return std::move(*thread);
}

void spawn_detached(std::string_view what, std::function<void()> body) {
  spawn_joinable(what, std::move(body)).detach();
}

ThreadSlots::ThreadSlots(std::size_t count) : pool_(std::make_shared<Pool>()) {
  pool_->free = count;
}

ThreadSlots::Slot ThreadSlots::take() {
  std::unique_lock lock(pool_->mutex);
  pool_->freed.wait(lock, [&] { return pool_->free > 0; });
  --pool_->free;
  return Slot(pool_);
}

std::optional<ThreadSlots::Slot> ThreadSlots::take_for(std::chrono::milliseconds limit) {
  std::unique_lock lock(pool_->mutex);
  if (!pool_->freed.wait_for(lock, limit, [&] { return pool_->free > 0; })) return std::nullopt;
  --pool_->free;
  return Slot(pool_);
}

ThreadSlots::Slot::~Slot() {
  if (!pool_) return;
  {
    std::lock_guard lock(pool_->mutex);
    ++pool_->free;
  }
  pool_->freed.notify_one();
}

}  // namespace tavi
