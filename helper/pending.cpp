// Commands and threads whose work has not landed yet. Each definition moves
// to its own file when that piece is built.
#include <thread>

#include "commands.hpp"
#include "control.hpp"
#include "scheduler.hpp"

namespace tavi {

Result<void> run_daemon() { return fail("perintah run belum tersedia di build ini"); }
void uninstall_helper() {}
Result<void> run_update_command() { return fail("perintah update belum tersedia di build ini"); }

void accept_ipc_connections(Fd, SignalSender, SignalSender, SharedDaemonState) {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
void run_update_scheduler(SignalReceiver) {}

}  // namespace tavi
