// Control connections: the accept loop, one thread per connection (at most
// IPC_MAX_CONNECTIONS at once), and what each request does to the shared state.
//
// Locks: `DaemonState::mutex` is held only to copy `config` or `status`, or,
// for SetConfig, to install both together and queue the recheck message;
// never while reading, writing a reply or writing the configuration file.
// The SetConfig road (save, then install) is serialised by its own mutex in
// set_config(), always taken before the DaemonState lock, so the file and the
// running configuration always end up the same. A request line longer than
// LONG_REQUEST_LINE first takes one of LONG_REQUESTS_AT_ONCE slots, before
// either of those, and gives it back before its reply is written.
#include "control.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

#include "tavi/accept_backoff.hpp"
#include "tavi/config_file.hpp"
#include "tavi/first_occurrences.hpp"
#include "tavi/os_error.hpp"
#include "tavi/socket.hpp"
#include "tavi/text.hpp"
#include "tavi/thread.hpp"
#include "tavi/validate.hpp"
#include "tavi/version.hpp"

namespace tavi {

namespace {

Response set_config(Config config, const SignalSender& recheck, DaemonState& state) {
  config.domain = normalize_domain(config.domain);
  if (auto valid = validate_config(config); !valid) return response::Error{valid.error()};

  static std::mutex set_config_road;
  std::lock_guard road(set_config_road);
  if (auto saved = save_config(config); !saved) return response::Error{saved.error()};
  {
    std::lock_guard lock(state.mutex);
    const std::vector<ServerStatus> old_status = std::move(state.status);
    state.status = carry_over_status(old_status, config);
    state.config = std::move(config);
    (void)recheck.send(Signal{});
  }
  return response::Ok{};
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// clang before 17 deduces no template arguments for aggregates by itself.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::vector<ServerStatus> carry_over_status(const std::vector<ServerStatus>& old_status,
                                            const Config& config) {
  // The first old entry of each new entry's fqdn, found among the old and the
  // new fqdns together: a sort, where a search of the old list for each new
  // entry would cost their product.
  std::vector<ServerStatus> status = initial_status(config);
  std::vector<std::string_view> fqdns;
  fqdns.reserve(old_status.size() + status.size());
  for (const ServerStatus& old : old_status) fqdns.push_back(old.fqdn);
  for (const ServerStatus& entry : status) fqdns.push_back(entry.fqdn);
  const std::vector<std::size_t> first = first_occurrences(fqdns);
  for (std::size_t i = 0; i < status.size(); ++i) {
    const std::size_t match = first[old_status.size() + i];
    if (match < old_status.size()) status[i] = old_status[match];
  }
  return status;
}

Response perform_request(Request request, const SignalSender& recheck, const SignalSender& update,
                         DaemonState& state) {
  return std::visit(
      Overloaded{
          [](request::Ping&) -> Response { return response::Pong{std::string(HELPER_VERSION)}; },
          [&](request::GetConfig&) -> Response {
            std::lock_guard lock(state.mutex);
            return response::Config{state.config};
          },
          [&](request::SetConfig& set) -> Response {
            return set_config(std::move(set.config), recheck, state);
          },
          [&](request::Status&) -> Response {
            std::lock_guard lock(state.mutex);
            return response::Status{state.status};
          },
          [&](request::Recheck&) -> Response {
            (void)recheck.send(Signal{});
            return response::Ok{};
          },
          [&](request::Update&) -> Response {
            // Ok even when the update scheduler has ended: the send just fails.
            (void)update.send(Signal{});
            return response::Ok{};
          },
      },
      request);
}

namespace {

// Room for `more` bytes after the end of the line. Capacity doubles as the
// line grows, but never past the longest line: std::string's own growth
// would double a line just past half a mebibyte to two.
void make_room(std::string& line, std::size_t more) {
  const std::size_t needed = line.size() + more;
  if (needed <= line.capacity()) return;
  std::string grown;
  grown.reserve(std::min(std::max(needed, 2 * line.capacity()), MAX_REQUEST_LINE));
  grown.append(line);
  line.swap(grown);
}

}  // namespace

Result<std::string> read_request_line(int connection) {
  std::string line;
  char buffer[IPC_READ_BUFFER_SIZE];
  while (line.size() < MAX_REQUEST_LINE) {
    // Never receive past the limit: bytes beyond it are not the line's.
    const std::size_t wanted = std::min(sizeof buffer, MAX_REQUEST_LINE - line.size());
    const ssize_t received = ::recv(connection, buffer, wanted, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return fail(os_error_text(errno));
    if (received == 0) break;
    const std::string_view piece(buffer, static_cast<std::size_t>(received));
    const std::size_t lf = piece.find('\n');
    const std::string_view taken = lf != std::string_view::npos ? piece.substr(0, lf + 1) : piece;
    make_room(line, taken.size());
    line.append(taken);
    if (lf != std::string_view::npos) break;
  }
  if (line.empty()) return fail("koneksi ditutup tanpa data");
  if (!is_valid_utf8(line)) return fail("baris permintaan bukan UTF-8");
  return line;
}

void handle_ipc_connection(Fd connection, SignalSender recheck, SignalSender update,
                           SharedDaemonState state) {
  // Without the limit the read still works, only without a time-out.
  (void)set_receive_timeout(connection.get(), IPC_READ_TIMEOUT);
  std::optional<Response> response;
  if (auto line = read_request_line(connection.get())) {
    // A long line read into records takes many times its size (some thirty
    // for a configuration of the smallest servers), and 64 connections may be
    // served at once: only a few long lines are parsed and performed at a
    // time, so no mix of clients can make the daemon's memory grow past a
    // bound. Short lines, every Ping and Status among them, never wait.
    static ThreadSlots long_lines(LONG_REQUESTS_AT_ONCE);
    ThreadSlots::Slot long_line;
    if (line->size() > LONG_REQUEST_LINE) long_line = long_lines.take();
    // A line that cannot be parsed gets no reply at all.
    if (auto request = parse_request(*line)) {
      response = perform_request(std::move(*request), recheck, update, *state);
    }
  }
  // The line and the request are gone and no lock is held: a client that
  // does not read its reply holds nothing else up.
  if (response) write_response(connection.get(), *response);
  connection.reset();
  recheck.release();
  update.release();
  state.reset();
}

bool start_ipc_connection_thread(Fd connection, ThreadSlots::Slot slot, SignalSender recheck,
                                 SignalSender update, SharedDaemonState state) {
  // A refused thread's copy of the arguments is gone with it: the connection
  // is closed, the slot free again, and the daemon serves the next one.
  return try_spawn_detached([connection = std::move(connection), slot = std::move(slot),
                             recheck = std::move(recheck), update = std::move(update),
                             state = std::move(state)]() mutable {
           handle_ipc_connection(std::move(connection), std::move(recheck), std::move(update),
                                 std::move(state));
         })
      .has_value();
}

void accept_ipc_connections(Fd listener, SignalSender recheck, SignalSender update,
                            SharedDaemonState state) {
  ThreadSlots slots(IPC_MAX_CONNECTIONS);
  AcceptBackoff backoff;
  for (;;) {
    // With every slot taken nothing is accepted: new connections wait in the
    // listen backlog, and a client that cannot be served costs no thread.
    ThreadSlots::Slot slot = slots.take();
    auto connection = accept_connection(listener.get());
    if (!connection) {
      backoff.wait_after(connection.error());
      continue;
    }
    backoff.connection_accepted();
    (void)start_ipc_connection_thread(std::move(*connection), std::move(slot), recheck, update,
                                      state);
  }
}

}  // namespace tavi
