// Starting threads. A thread the system refuses to start ends the process:
// every caller relies on its thread running (a probe result, a listener).
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace tavi {

void spawn_detached(std::string_view what, std::function<void()> body);
std::thread spawn_joinable(std::string_view what, std::function<void()> body);

// For work the system may do without (one connection): nothing when the
// thread is refused. The refused body is destroyed unrun, so whatever it
// owned, such as a descriptor, is released with it. Move-only bodies are fine.
template <class F>
std::optional<std::thread> try_spawn_joinable(F&& body) {
  try {
    return std::thread(std::forward<F>(body));
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

template <class F>
bool try_spawn_detached(F&& body) {
  std::optional<std::thread> thread = try_spawn_joinable(std::forward<F>(body));
  if (!thread) return false;
  thread->detach();
  return true;
}

}  // namespace tavi
