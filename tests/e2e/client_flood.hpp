// Many control clients at once, on non-blocking sockets driven from one
// thread: the slow clients and the long-line clients that the control port
// must outlast. Connections the daemon's listen backlog cannot hold yet
// complete later, as the daemon accepts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tavi/config.hpp"
#include "tavi/fd.hpp"
#include "tavi/ip.hpp"

namespace tavi::e2e {

class ClientFlood {
 public:
  // Starts connecting `clients` sockets to `address`. Clients that do not
  // read never take a byte of their replies, as a stuck controller would.
  ClientFlood(const SocketAddress& address, int clients, bool read_replies = true);

  // One round: gives each client more of `line`, up to its first `upto`
  // bytes, as far as its socket takes them without blocking, and notes the
  // clients the daemon closed (their replies are dropped). Waits at most
  // `wait` for any socket to be ready. The bytes sent in this round.
  std::size_t pump(std::string_view line, std::size_t upto, std::chrono::milliseconds wait);

  // Pumps all of `line` into every client until each has taken it or, for
  // `stall`, none took a byte more. The bytes sent in all.
  std::size_t push_until_stalled(std::string_view line, std::chrono::milliseconds stall);

  // Reads (and drops) replies until the daemon has closed every client or
  // `limit` has passed: by then it has handled all it was sent. Whether all
  // were closed.
  bool drain(std::chrono::milliseconds limit);

  // How many clients are still open.
  int open_clients() const;

  // Connects afresh each client the daemon closed, as a client that retries
  // would; how many were.
  int reconnect_closed();

  // For `duration`, client i sends line i % lines.size() and, once the
  // daemon has closed it, connects again and sends it anew. How many of the
  // closed clients' replies were exactly `expected`.
  std::size_t resend_for(const std::vector<std::string>& lines, std::string_view expected,
                         std::chrono::milliseconds duration);

 private:
  struct Client {
    Fd socket;
    std::size_t sent = 0;
    bool closed = false;
    std::string reply;  // its first bytes, as many as a short reply holds
  };
  Client connect_one() const;
  // pump() with a line of each client's own.
  std::size_t pump_each(const std::function<std::string_view(std::size_t)>& line_of,
                        std::size_t upto, std::chrono::milliseconds wait);

  SocketAddress address_;
  bool read_replies_;
  std::vector<Client> clients_;
};

// A whole control request line of 1 MiB, LF included: a SetConfig of as many
// of the smallest servers as the line holds. Read whole, each becomes a record
// many times its text's size; its domain is refused, so nothing is saved or
// probed.
std::string set_config_line_of_small_servers();

// 20,000 servers at `home_ip` and `port` under a domain of 252 bytes: their
// Status reply takes some 6 MB.
Config servers_under_a_long_domain(const std::string& home_ip, std::uint16_t port);

// The process's peak resident set (VmHWM) in bytes: what a flood cost it at
// most. 0 when it cannot be read.
std::size_t peak_resident_bytes(pid_t pid);
// The process's resident set now (VmRSS) in bytes; 0 when it cannot be read.
std::size_t resident_bytes(pid_t pid);

// Starts the process's peak afresh from its resident set now, so that what
// start-up took is not counted in a flood's peak. False where the system
// cannot.
bool reset_peak_resident(pid_t pid);

}  // namespace tavi::e2e
