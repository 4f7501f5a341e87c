// The daemon's side of the control channel.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "daemon_state.hpp"
#include "tavi/config.hpp"
#include "tavi/fd.hpp"
#include "tavi/ipc.hpp"
#include "tavi/result.hpp"
#include "tavi/status.hpp"
#include "tavi/thread.hpp"

namespace tavi {

// Limit of each single receive, not of the whole line.
inline constexpr std::chrono::milliseconds IPC_READ_TIMEOUT{5000};
// Most bytes one request line can hold, its LF included.
inline constexpr std::size_t MAX_REQUEST_LINE = 1'048'576;
// No single receive asks for more.
inline constexpr std::size_t IPC_READ_BUFFER_SIZE = 8'192;
// Lines longer than this are parsed and performed at most
// LONG_REQUESTS_AT_ONCE at a time.
inline constexpr std::size_t LONG_REQUEST_LINE = 16'384;
inline constexpr std::size_t LONG_REQUESTS_AT_ONCE = 4;

// Most connections served at once. Any local process may connect, so without
// a cap control clients could take every thread that forwarding and probing
// need, and a line of up to MAX_REQUEST_LINE each.
inline constexpr std::size_t IPC_MAX_CONNECTIONS = 64;

// Body of the IPC accept thread: one detached connection thread per accepted
// connection, at most IPC_MAX_CONNECTIONS at once (further connections wait
// in the listen backlog until one ends), pausing after a shortage of
// descriptors or memory (AcceptBackoff). Never returns.
[[noreturn]] void accept_ipc_connections(Fd listener, SignalSender recheck, SignalSender update,
                                         SharedDaemonState state);

// Starts a detached thread running handle_ipc_connection, holding `slot`
// until it ends. When the system refuses the thread, the connection is
// closed, the slot given back and the result is false.
bool start_ipc_connection_thread(Fd connection, ThreadSlots::Slot slot, SignalSender recheck,
                                 SignalSender update, SharedDaemonState state);

// Body of one connection thread: read one line, perform it, reply, close.
void handle_ipc_connection(Fd connection, SignalSender recheck, SignalSender update,
                           SharedDaemonState state);

// The request line up to and including its first LF, at most MAX_REQUEST_LINE
// bytes, or what arrived before the end of the stream. Fails on a receive
// error or time-out, on text that is not UTF-8, and when nothing arrived.
Result<std::string> read_request_line(int connection);

// What the daemon does for one request, and its reply. The DaemonState lock
// is released before this returns.
Response perform_request(Request request, const SignalSender& recheck, const SignalSender& update,
                         DaemonState& state);

// The status list for `config`: each server keeps the old entry with the same
// fqdn (byte for byte), the others start unprobed.
std::vector<ServerStatus> carry_over_status(const std::vector<ServerStatus>& old_status,
                                            const Config& config);

}  // namespace tavi
