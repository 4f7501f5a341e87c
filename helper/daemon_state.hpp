// The state shared by the apply loop and the control connections.
//
// `mutex` guards `config` and `status` together; it is held only to copy or
// replace them, never while probing, writing files or waiting, and no other
// lock is taken while it is held. Invariant: `status` has one entry per server
// of `config`, in the same order, with that server's name and fqdn.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "tavi/channel.hpp"
#include "tavi/config.hpp"
#include "tavi/status.hpp"

namespace tavi {

struct DaemonState {
  std::mutex mutex;
  Config config;
  std::vector<ServerStatus> status;
};

using SharedDaemonState = std::shared_ptr<DaemonState>;
using SignalSender = Sender<Signal>;
using SignalReceiver = Receiver<Signal>;

// One entry per server: its name, "name.domain" as stored, no ip, Unknown.
std::vector<ServerStatus> initial_status(const Config& config);

}  // namespace tavi
