// Port forwarding: listeners on loopback pool addresses that relay every
// accepted connection to the target the ForwardTable names for them.
//
// ForwardTable: its map is guarded by its shared_mutex; the apply loop takes
// it in write mode only to swap in a whole new map, each listener in read mode
// only to copy one target out. StopFlag: written once by the apply loop with a
// release store, read by its one listener with an acquire load.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

#include "tavi/fd.hpp"
#include "tavi/ip.hpp"

namespace tavi {

inline constexpr std::chrono::milliseconds FORWARD_CONNECT_TIMEOUT{5000};
inline constexpr std::size_t PIPE_BUFFER_SIZE = 8192;

// Listen address -> target address, only for forwarders that have a target.
using ForwardMap = std::unordered_map<SocketAddress, SocketAddress>;

class ForwardTable {
 public:
  // Readers see either the whole old map or the whole new one.
  void replace(ForwardMap map);
  std::optional<SocketAddress> lookup(const SocketAddress& listen) const;

 private:
  mutable std::shared_mutex mutex_;
  ForwardMap map_;
};

using StopFlag = std::atomic<bool>;

// Accepts on `listener` until a connection or error arrives after `stop` was
// set; each accepted connection with a table entry gets a forward connection
// thread, any other is closed at once. After a shortage of descriptors or
// memory it pauses before the next accept (AcceptBackoff). Closes the
// listening socket on return.
void run_forward_listener(SocketAddress listen, std::shared_ptr<ForwardTable> table,
                          std::shared_ptr<StopFlag> stop, Fd listener);

// Connects to the target and relays both directions until both have ended.
void forward_connection(SocketAddress target, Fd client);

// The client-to-upstream direction, on its own thread.
void pipe_client_to_upstream(Fd client, Fd upstream);

// Copies `source` to `destination` until the source ends or either fails,
// then half-closes both and closes them.
void pipe_stream(Fd source, Fd destination);

}  // namespace tavi
