// Control connections: the accept loop, the thread that starts one thread per
// accepted connection with no cap of our own, and what each request does to
// the shared state.
//
// Locks: `DaemonState::mutex` is held only to copy `config` or `status` (and
// to measure the reply they would make), or, for SetConfig, to install both
// together and queue the recheck message; never while reading, writing a
// reply or writing the configuration file. The SetConfig road (save, then
// install) is serialised by its own mutex in set_config(), always taken
// before the DaemonState lock, so the file and the running configuration
// always end up the same. A long slot (LongTurn) is only ever taken while
// neither of those is held: a line that passes LONG_REQUEST_LINE takes one
// before it grows further and keeps it while it is parsed and performed; a
// Config or Status reply that would pass it takes one before the copy and
// keeps it until written.
#include "control.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "tavi/accept_backoff.hpp"
#include "tavi/channel.hpp"
#include "tavi/config_file.hpp"
#include "tavi/first_occurrences.hpp"
#include "tavi/os_error.hpp"
#include "tavi/socket.hpp"
#include "tavi/text.hpp"
#include "tavi/thread.hpp"
#include "tavi/validate.hpp"
#include "tavi/version.hpp"
#include "timed_io.hpp"

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

// The reply `copy` makes of the state. When `reply_size` says it would be
// long, a long slot is taken first, without the lock (the state may change
// meanwhile: the copy is made afresh), so that no more than a few long
// replies are ever copied and built at once.
template <class Size, class Copy>
std::optional<Response> copy_for_reply(DaemonState& state, LongTurn& turn, Size reply_size,
                                       Copy copy) {
  {
    std::lock_guard lock(state.mutex);
    if (turn.held() || reply_size(state) <= LONG_REQUEST_LINE) return copy(state);
  }
  if (!turn.take()) return std::nullopt;
  std::lock_guard lock(state.mutex);
  return copy(state);
}

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

std::optional<Response> perform_request(Request request, const SignalSender& recheck,
                                        const SignalSender& update, DaemonState& state,
                                        LongTurn& turn) {
  return std::visit(
      Overloaded{
          [](request::Ping&) -> std::optional<Response> {
            return response::Pong{std::string(HELPER_VERSION)};
          },
          [&](request::GetConfig&) {
            return copy_for_reply(
                state, turn, [](const DaemonState& s) { return config_reply_size(s.config); },
                [](const DaemonState& s) -> Response { return response::Config{s.config}; });
          },
          [&](request::SetConfig& set) -> std::optional<Response> {
            return set_config(std::move(set.config), recheck, state);
          },
          [&](request::Status&) {
            return copy_for_reply(
                state, turn, [](const DaemonState& s) { return status_reply_size(s.status); },
                [](const DaemonState& s) -> Response { return response::Status{s.status}; });
          },
          [&](request::Recheck&) -> std::optional<Response> {
            (void)recheck.send(Signal{});
            return response::Ok{};
          },
          [&](request::Update&) -> std::optional<Response> {
            // Ok even when the update scheduler has ended: the send just fails.
            (void)update.send(Signal{});
            return response::Ok{};
          },
      },
      request);
}

namespace {

using Clock = std::chrono::steady_clock;

// Room for `more` bytes after the end of the line. Capacity doubles as the
// line grows, but never past the longest line (std::string's own growth
// would double a line just past half a mebibyte to two), nor past
// LONG_REQUEST_LINE while the line is short.
void make_room(std::string& line, std::size_t more) {
  const std::size_t needed = line.size() + more;
  if (needed <= line.capacity()) return;
  const std::size_t ceiling = needed <= LONG_REQUEST_LINE ? LONG_REQUEST_LINE : MAX_REQUEST_LINE;
  std::string grown;
  grown.reserve(std::min(std::max(needed, 2 * line.capacity()), ceiling));
  grown.append(line);
  line.swap(grown);
}

}  // namespace

Result<std::string> read_request_line(int connection, LongTurn& turn) {
  std::string line;
  char buffer[IPC_READ_BUFFER_SIZE];
  // By then the line must be complete: counted from now, or, once the line is
  // long, from the slot it took.
  Clock::time_point deadline = Clock::now() + turn.limits().line_limit;
  bool long_line = false;
  while (line.size() < MAX_REQUEST_LINE) {
    // Each receive within its own limit too, whether or not the socket's
    // receive limit could be set.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (!wait_readable(connection, std::min(left, IPC_READ_TIMEOUT))) {
      return fail("baris permintaan tidak selesai pada waktunya");
    }
    // Never receive past the limit: bytes beyond it are not the line's.
    const std::size_t wanted = std::min(sizeof buffer, MAX_REQUEST_LINE - line.size());
    const ssize_t received = ::recv(connection, buffer, wanted, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return fail(os_error_text(errno));
    if (received == 0) break;
    const std::string_view piece(buffer, static_cast<std::size_t>(received));
    const std::size_t lf = piece.find('\n');
    const std::string_view taken = lf != std::string_view::npos ? piece.substr(0, lf + 1) : piece;
    if (!long_line && line.size() + taken.size() > LONG_REQUEST_LINE) {
      // A client that finds every slot taken is dropped after the wait, with
      // no more than a short line read.
      if (!turn.take()) return fail("tidak ada giliran untuk baris panjang");
      long_line = true;
      deadline = Clock::now() + turn.limits().read_limit;
    }
    make_room(line, taken.size());
    line.append(taken);
    if (lf != std::string_view::npos) break;
  }
  if (line.empty()) return fail("koneksi ditutup tanpa data");
  if (!is_valid_utf8(line)) return fail("baris permintaan bukan UTF-8");
  return line;
}

void handle_ipc_connection(Fd connection, SignalSender recheck, SignalSender update,
                           SharedDaemonState state, LongTurns turns) {
  // Without the limit the read still works, only without a time-out.
  (void)set_receive_timeout(connection.get(), IPC_READ_TIMEOUT);
  LongTurn turn(std::move(turns));
  std::string reply;
  if (auto line = read_request_line(connection.get(), turn)) {
    // A long line read into records takes many times its size (some thirty
    // for a configuration of the smallest servers): it is parsed and
    // performed still holding its slot. A line that cannot be parsed gets no
    // reply at all.
    auto request = parse_request(*line);
    std::string().swap(*line);
    if (request) {
      if (auto response = perform_request(std::move(*request), recheck, update, *state, turn)) {
        reply = encode_response(*response);
      }
    }
  }
  // The request and its records are gone and no lock is held. A short reply
  // needs no slot; a long one is written only with one, and every reply
  // within the write limit, so a client that does not read holds nothing for
  // long.
  if (reply.size() <= LONG_REQUEST_LINE) {
    turn.release();
  } else if (!turn.take()) {
    reply.clear();
  }
  if (!reply.empty()) (void)send_all_within(connection.get(), reply, turn.limits().write_limit);
  connection.reset();
  turn.release();
  recheck.release();
  update.release();
  state.reset();
}

bool start_ipc_connection_thread(Fd connection, SignalSender recheck, SignalSender update,
                                 SharedDaemonState state, LongTurns turns) {
  // A refused thread's copy of the arguments is gone with it: the connection
  // is closed and the daemon serves the next one.
  return try_spawn_detached([connection = std::move(connection), recheck = std::move(recheck),
                             update = std::move(update), state = std::move(state),
                             turns = std::move(turns)]() mutable {
           handle_ipc_connection(std::move(connection), std::move(recheck), std::move(update),
                                 std::move(state), std::move(turns));
         })
      .has_value();
}

void accept_ipc_connections(Fd listener, SignalSender recheck, SignalSender update,
                            SharedDaemonState state, LongTurns turns) {
  // Accepting and starting threads are apart: accepting takes microseconds,
  // starting a thread up to a millisecond or more on a busy machine, and a
  // burst of connections must leave the listen backlog before it fills.
  auto [accepted, to_start] = make_channel<Fd>();
  spawn_detached(
      "ipc connection starter", [to_start = std::make_shared<Receiver<Fd>>(std::move(to_start)),
                                 recheck, update, state, turns] {
        while (std::optional<Fd> connection = to_start->recv()) {
          (void)start_ipc_connection_thread(std::move(*connection), recheck, update, state, turns);
        }
      });
  recheck.release();
  update.release();
  state.reset();
  AcceptBackoff backoff;
  for (;;) {
    // Every connection is taken at once: what a connection may cost is
    // bounded by the long slots, not here.
    auto connection = accept_connection(listener.get());
    if (!connection) {
      backoff.wait_after(connection.error());
      continue;
    }
    backoff.connection_accepted();
    (void)accepted.send(std::move(*connection));
  }
}

}  // namespace tavi
