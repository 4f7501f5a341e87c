#include "tavi/thread.hpp"

#include <fmt/format.h>

#include <system_error>

#include "tavi/fatal.hpp"

namespace tavi {

std::thread spawn_joinable(std::string_view what, std::function<void()> body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error& e) {
    die(fmt::format("tidak bisa memulai thread {}: {}", what, e.what()));
  }
}

void spawn_detached(std::string_view what, std::function<void()> body) {
  spawn_joinable(what, std::move(body)).detach();
}

}  // namespace tavi
