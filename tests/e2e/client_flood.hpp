// Many control clients at once, on non-blocking sockets driven from one
// thread: the slow clients and the long-line clients that the control port
// must outlast. Connections the daemon's listen backlog cannot hold yet
// complete later, as the daemon accepts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tavi/fd.hpp"
#include "tavi/ip.hpp"

namespace tavi::e2e {

class ClientFlood {
 public:
  // Starts connecting `clients` sockets to `address`.
  ClientFlood(const SocketAddress& address, int clients);

  // One round: gives each client more of `line`, up to its first `upto`
  // bytes, as far as its socket takes them without blocking, and notes the
  // clients the daemon closed (their replies are dropped). Waits at most
  // `wait` for any socket to be ready. The bytes sent in this round.
  std::size_t pump(std::string_view line, std::size_t upto, std::chrono::milliseconds wait);

  // Pumps all of `line` into every client until each has taken it or, for
  // `stall`, none took a byte more. The bytes sent in all.
  std::size_t push_until_stalled(std::string_view line, std::chrono::milliseconds stall);

  // How many clients are still open.
  int open_clients() const;

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
  Fd connect_one() const;
  // pump() with a line of each client's own.
  std::size_t pump_each(const std::function<std::string_view(std::size_t)>& line_of,
                        std::size_t upto, std::chrono::milliseconds wait);

  SocketAddress address_;
  std::vector<Client> clients_;
};

// A whole control request line of 1 MiB, LF included: a SetConfig of as many
// of the smallest servers as the line holds. Read whole, each becomes a record
// many times its text's size; its domain is refused, so nothing is saved or
// probed.
std::string set_config_line_of_small_servers();

// The process's peak resident set (VmHWM) in bytes: what a flood cost it at
// most. 0 when it cannot be read.
std::size_t peak_resident_bytes(pid_t pid);
// The process's resident set now (VmRSS) in bytes; 0 when it cannot be read.
std::size_t resident_bytes(pid_t pid);

}  // namespace tavi::e2e
