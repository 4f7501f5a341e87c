// Starting threads. A thread the system refuses to start ends the process:
// every caller relies on its thread running (a probe result, a listener).
#pragma once

#include <functional>
#include <string_view>
#include <thread>

namespace tavi {

void spawn_detached(std::string_view what, std::function<void()> body);
std::thread spawn_joinable(std::string_view what, std::function<void()> body);

}  // namespace tavi
