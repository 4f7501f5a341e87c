// Start-up of the daemon: the shared state, the control listener, the three
// long-lived threads, and then the apply loop on the calling thread.
//
// The DaemonState is shared with the control connections behind its own
// mutex; the ForwardTable with the forward listeners behind its own
// reader-writer lock; the ListenerMap stays on this thread.
#include <fmt/format.h>

#include <thread>

#include "apply.hpp"
#include "apply_loop.hpp"
#include "commands.hpp"
#include "control.hpp"
#include "scheduler.hpp"
#include "tavi/config_file.hpp"
#include "tavi/ipc.hpp"
#include "tavi/platform.hpp"
#include "tavi/socket.hpp"
#include "tavi/thread.hpp"
#include "watcher.hpp"

namespace tavi {

namespace {

// The first try and 40 retries: about 20 seconds for a previous instance to
// let go of the port.
constexpr int IPC_BIND_ATTEMPTS = 41;
constexpr std::chrono::milliseconds IPC_BIND_RETRY_DELAY{500};

OsResult<Fd> bind_control_listener() {
  OsResult<Fd> bound = bind_listener(ipc_address());
  for (int attempt = 1; !bound && attempt < IPC_BIND_ATTEMPTS; ++attempt) {
    std::this_thread::sleep_for(IPC_BIND_RETRY_DELAY);
    bound = bind_listener(ipc_address());
  }
  return bound;
}

}  // namespace

Result<void> run_daemon() {
  // Before any thread: requests and configurations of up to a mebibyte each
  // must not stay resident once they are freed.
  platform::keep_large_blocks_apart();
  // launchd starts daemons with a soft limit of 256 descriptors, and every
  // forwarded connection holds four. Refused, the daemon goes on with what it
  // has.
  (void)platform::raise_open_file_limit();
  auto state = std::make_shared<DaemonState>();
  state->config = load_config();
  // A crash during a SetConfig can leave its temporary file behind.
  remove_config_leftovers();
  state->status = initial_status(state->config);
  // This sender is never used and never released, so the apply loop never
  // sees the channel closed.
  auto [recheck, recheck_receiver] = make_channel<Signal>();

  OsResult<Fd> listener = bind_control_listener();
  if (!listener) {
    return fail(fmt::format("Tidak bisa membuka {}: {}", format_socket_address(ipc_address()),
                            listener.error().text()));
  }

  auto [update, update_receiver] = make_channel<Signal>();
  // A refusal of one of these ends the process: the daemon cannot work
  // without them, and launchd starts it again. Every later thread is
  // optional. std::function wants copyable bodies; the move-only parts
  // travel in boxes.
  auto updates = std::make_shared<SignalReceiver>(std::move(update_receiver));
  spawn_detached("update scheduler", [updates] { run_update_scheduler(std::move(*updates)); });
  spawn_detached("network watcher", [recheck] { watch_network(recheck); });
  auto control = std::make_shared<Fd>(std::move(*listener));
  spawn_detached("ipc accept", [control, recheck, update = std::move(update), state] {
    accept_ipc_connections(std::move(*control), recheck, update, state);
  });

  auto table = std::make_shared<ForwardTable>();
  ListenerMap listeners;
  run_apply_loop(recheck_receiver, APPLY_INTERVAL, [&] {
    apply_cycle(*state, table, listeners);
    // A pass frees its copies, and the SetConfig that woke it its request:
    // what they leave free goes back to the system.
    platform::release_free_memory();
  });
  return {};
}

}  // namespace tavi
