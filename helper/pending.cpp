// Commands and threads whose work has not landed yet. Each definition moves
// to its own file when that piece is built.
#include "commands.hpp"
#include "scheduler.hpp"

namespace tavi {

Result<void> run_daemon() { return fail("perintah run belum tersedia di build ini"); }
Result<void> run_update_command() { return fail("perintah update belum tersedia di build ini"); }

void run_update_scheduler(SignalReceiver) {}

}  // namespace tavi
