// The update scheduler thread.
#pragma once

#include "daemon_state.hpp"

namespace tavi {

// Body of the update scheduler thread; returns when the running executable is
// not the installed one or every sender is gone, ends the process after an
// installed update.
void run_update_scheduler(SignalReceiver updates);

}  // namespace tavi
