// The daemon's side of the control channel.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "daemon_state.hpp"
#include "long_turn.hpp"
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

// Body of the IPC accept thread: one detached connection thread per accepted
// connection, with no cap of our own on how many run at once, started by a
// thread of its own so that accepting never waits on it; `turns` are the long
// slots they share. Pauses after a shortage of descriptors or memory
// (AcceptBackoff). Never returns.
[[noreturn]] void accept_ipc_connections(Fd listener, SignalSender recheck, SignalSender update,
                                         SharedDaemonState state, LongTurns turns = LongTurns());

// Starts a detached thread running handle_ipc_connection. When the system
// refuses the thread, the connection is closed and the result is false.
bool start_ipc_connection_thread(Fd connection, SignalSender recheck, SignalSender update,
                                 SharedDaemonState state, LongTurns turns);

// Body of one connection thread: read one line, perform it, reply, close.
// A long line or a long reply waits for one of `turns`' slots and keeps to
// their time limits; every reply is written within the write limit.
void handle_ipc_connection(Fd connection, SignalSender recheck, SignalSender update,
                           SharedDaemonState state, LongTurns turns);

// The request line up to and including its first LF, at most MAX_REQUEST_LINE
// bytes, or what arrived before the end of the stream. Fails on a receive
// error, on IPC_READ_TIMEOUT without a byte, on text that is not UTF-8, when
// nothing arrived, and when the line is not complete within the line limit of
// `turn`. Past LONG_REQUEST_LINE bytes the line goes on only with a slot of
// `turn`, and must then be complete within its read limit instead.
Result<std::string> read_request_line(int connection, LongTurn& turn);

// What the daemon does for one request, and its reply. The DaemonState lock
// is released before this returns. A Config or Status reply that would pass
// LONG_REQUEST_LINE is copied only with a slot of `turn`; nothing when no
// slot came free.
std::optional<Response> perform_request(Request request, const SignalSender& recheck,
                                        const SignalSender& update, DaemonState& state,
                                        LongTurn& turn);

// The status list for `config`: each server keeps the old entry with the same
// fqdn (byte for byte), the others start unprobed.
std::vector<ServerStatus> carry_over_status(const std::vector<ServerStatus>& old_status,
                                            const Config& config);

}  // namespace tavi
