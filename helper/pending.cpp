// Commands and threads whose work has not landed yet. Each definition moves
// to its own file when that piece is built.
#include "commands.hpp"

namespace tavi {

Result<void> run_daemon() { return fail("perintah run belum tersedia di build ini"); }

}  // namespace tavi
