// Commands whose work has not landed yet. Each definition moves to its own
// file when that command is built.
#include "commands.hpp"

namespace tavi {

Result<void> run_daemon() { return fail("perintah run belum tersedia di build ini"); }
Result<void> install_helper() { return fail("perintah install belum tersedia di build ini"); }
void uninstall_helper() {}
Result<void> run_update_command() { return fail("perintah update belum tersedia di build ini"); }

}  // namespace tavi
