#include "apply_loop.hpp"

namespace tavi {

void run_apply_loop(SignalReceiver& recheck, std::chrono::steady_clock::duration interval,
                    const std::function<void()>& cycle) {
  cycle();
  for (;;) {
    if (recheck.recv_for(interval) == RecvStatus::Disconnected) return;
    if (recheck.drain() == RecvStatus::Disconnected) return;
    cycle();
  }
}

}  // namespace tavi
