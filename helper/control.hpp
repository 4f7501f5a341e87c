// The daemon's side of the control channel.
#pragma once

#include "daemon_state.hpp"
#include "tavi/fd.hpp"

namespace tavi {

// Body of the IPC accept thread: one detached connection thread per accepted
// connection. Never returns.
[[noreturn]] void accept_ipc_connections(Fd listener, SignalSender recheck, SignalSender update,
                                         SharedDaemonState state);

}  // namespace tavi
