// The work behind each command word of the command line.
#pragma once

#include "tavi/result.hpp"

namespace tavi {

// `run`: returns only with the message that stopped the daemon from starting.
Result<void> run_daemon();
// `install`: prints its own success line.
Result<void> install_helper();
// `uninstall`: never fails; prints its own line.
void uninstall_helper();
// `update`: one self-update of the running executable; prints its own line.
Result<void> run_update_command();

}  // namespace tavi
