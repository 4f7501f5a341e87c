#include "forward.hpp"

#include <sys/socket.h>

#include <mutex>
#include <string_view>

#include "tavi/accept_backoff.hpp"
#include "tavi/socket.hpp"
#include "tavi/thread.hpp"

namespace tavi {

void ForwardTable::replace(ForwardMap map) {
  {
    std::unique_lock lock(mutex_);
    map_.swap(map);
  }
  // The old map is freed here, outside the lock.
}

std::optional<SocketAddress> ForwardTable::lookup(const SocketAddress& listen) const {
  std::shared_lock lock(mutex_);
  const auto found = map_.find(listen);
  if (found == map_.end()) return std::nullopt;
  return found->second;
}

void run_forward_listener(SocketAddress listen, std::shared_ptr<ForwardTable> table,
                          std::shared_ptr<StopFlag> stop, Fd listener) {
  AcceptBackoff backoff;
  for (;;) {
    OsResult<Fd> client = accept_connection(listener.get());
    // Read only now, so whatever woke the accept (the apply loop's wake-up
    // connection) is what ends the listener.
    if (stop->load(std::memory_order_acquire)) break;
    if (!client) {
      // Out of descriptors, accept fails at once, wake-up connection or not:
      // the flag is read again after each pause, so a stopped listener ends
      // within the longest pause even when nothing can be accepted.
      backoff.wait_after(client.error());
      continue;
    }
    backoff.connection_accepted();
    const std::optional<SocketAddress> target = table->lookup(listen);
    if (!target) continue;  // no target: the client sees an orderly close
    // A refused thread takes the client connection with it, closed unforwarded.
    (void)try_spawn_detached([target = *target, client = std::move(*client)]() mutable {
      forward_connection(target, std::move(client));
    });
  }
}

void forward_connection(SocketAddress target, Fd client) {
  OsResult<Fd> upstream = connect_with_timeout(target, FORWARD_CONNECT_TIMEOUT);
  if (!upstream) return;
  (void)set_nodelay(client.get());
  (void)set_nodelay(upstream->get());

  // Each direction blocks on its own descriptors.
  OsResult<Fd> client_copy = duplicate_fd(client.get());
  if (!client_copy) return;
  OsResult<Fd> upstream_copy = duplicate_fd(upstream->get());
  if (!upstream_copy) return;
  OsResult<std::thread> pipe = try_spawn_joinable(
      [client_copy = std::move(*client_copy), upstream_copy = std::move(*upstream_copy)]() mutable {
        pipe_client_to_upstream(std::move(client_copy), std::move(upstream_copy));
      });
  if (!pipe) return;  // the refused thread closed the duplicates; ours close here

  pipe_stream(std::move(*upstream), std::move(client));
  pipe->join();
}

void pipe_client_to_upstream(Fd client, Fd upstream) {
  pipe_stream(std::move(client), std::move(upstream));
}

void pipe_stream(Fd source, Fd destination) {
  char buffer[PIPE_BUFFER_SIZE];
  for (;;) {
    const ssize_t got = ::recv(source.get(), buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (!send_all(destination.get(), std::string_view(buffer, static_cast<std::size_t>(got)))) {
      break;
    }
  }
  // The destination's peer sees the end of this direction; the other
  // direction goes on until its own source ends.
  shutdown_write(destination.get());
  shutdown_read(source.get());
  destination.reset();
  source.reset();
}

}  // namespace tavi
