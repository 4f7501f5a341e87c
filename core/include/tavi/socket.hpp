// TCP sockets as the daemon uses them: every descriptor close-on-exec,
// blocking I/O after a connect that has a time limit.
#pragma once

#include <chrono>
#include <string_view>

#include "tavi/fd.hpp"
#include "tavi/ip.hpp"
#include "tavi/os_error.hpp"

namespace tavi {

inline constexpr int LISTEN_BACKLOG = 128;

// A non-blocking connect, then a wait of at most `limit`; the connected socket
// is blocking again. An expired limit gives ETIMEDOUT.
OsResult<Fd> connect_with_timeout(const SocketAddress& target, std::chrono::milliseconds limit);

// A listening socket with address reuse and backlog 128.
OsResult<Fd> bind_listener(const SocketAddress& address, int backlog = LISTEN_BACKLOG);

// The next connection; interrupted waits are resumed.
OsResult<Fd> accept_connection(int listener);

OsResult<Fd> duplicate_fd(int fd);

bool set_nodelay(int fd);
bool set_receive_timeout(int fd, std::chrono::milliseconds limit);
void shutdown_write(int fd);
void shutdown_read(int fd);

// Sends every byte, repeating interrupted and partial sends. False on an
// error or on a send that accepts nothing.
bool send_all(int fd, std::string_view bytes);

// The address a socket is bound to (to learn an ephemeral port).
OsResult<SocketAddress> local_address(int fd);

}  // namespace tavi
