#include "client_flood.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace tavi::e2e {

std::string set_config_line_of_small_servers() {
  constexpr std::size_t LINE = 1'048'576;
  std::string line = R"({"SetConfig":{"domain":"com","servers":[{"name":"a","home_ip":"::1"})";
  const std::string more = R"(,{"name":"a","home_ip":"::1"})";
  while (line.size() + more.size() + 4 <= LINE) line += more;
  line += "]}}";
  line.resize(LINE - 1, ' ');
  return line + "\n";
}

Config servers_under_a_long_domain(const std::string& home_ip, std::uint16_t port) {
  // Labels of at most 63 bytes, ending in a suffix that validation accepts.
  Config config{.domain = std::string(63, 'd') + "." + std::string(63, 'd') + "." +
                          std::string(63, 'd') + "." + std::string(56, 'e') + ".lan"};
  config.servers.reserve(20'000);
  for (int i = 0; i < 20'000; ++i) {
    config.servers.push_back(
        Server{.name = fmt::format("s{}", i), .home_ip = home_ip, .port = port});
  }
  return config;
}

ClientFlood::ClientFlood(const SocketAddress& address, int clients, bool read_replies)
    : address_(address), read_replies_(read_replies) {
  clients_.reserve(static_cast<std::size_t>(clients));
  for (int i = 0; i < clients; ++i) clients_.push_back(connect_one());
}

ClientFlood::Client ClientFlood::connect_one() const {
  const SockaddrBuffer target = to_sockaddr(address_);
  Fd socket(::socket(target.get()->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket) throw std::runtime_error("socket failed: out of descriptors?");
  if (::connect(socket.get(), target.get(), target.length) != 0 && errno != EINPROGRESS) {
    throw std::runtime_error("connect failed at once");
  }
  return Client{std::move(socket)};
}

int ClientFlood::reconnect_closed() {
  int reconnected = 0;
  for (Client& client : clients_) {
    if (!client.closed) continue;
    client = connect_one();
    ++reconnected;
  }
  return reconnected;
}

std::size_t ClientFlood::pump(std::string_view line, std::size_t upto,
                              std::chrono::milliseconds wait) {
  return pump_each([line](std::size_t) { return line; }, upto, wait);
}

std::size_t ClientFlood::pump_each(const std::function<std::string_view(std::size_t)>& line_of,
                                   std::size_t upto, std::chrono::milliseconds wait) {
  std::vector<pollfd> ready;
  std::vector<std::size_t> owners;
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    const Client& client = clients_[i];
    if (client.closed) continue;
    const bool more = client.sent < std::min(upto, line_of(i).size());
    ready.push_back({client.socket.get(),
                     static_cast<short>((read_replies_ ? POLLIN : 0) | (more ? POLLOUT : 0)), 0});
    owners.push_back(i);
  }
  if (ready.empty()) return 0;
  if (::poll(ready.data(), ready.size(), static_cast<int>(wait.count())) <= 0) return 0;

  std::size_t sent = 0;
  for (std::size_t i = 0; i < ready.size(); ++i) {
    Client& client = clients_[owners[i]];
    const std::string_view line = line_of(owners[i]);
    const std::size_t end = std::min(upto, line.size());
    if (read_replies_ && (ready[i].revents & POLLIN)) {
      // Replies are kept only as far as a short one needs; what counts most
      // is whether the daemon closed.
      char buffer[256];
      const ssize_t got = ::recv(client.socket.get(), buffer, sizeof buffer, 0);
      if (got > 0 && client.reply.size() < sizeof buffer) {
        client.reply.append(
            buffer, std::min(static_cast<std::size_t>(got), sizeof buffer - client.reply.size()));
      }
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) client.closed = true;
    }
    if (!client.closed && (ready[i].revents & (POLLOUT | POLLERR | POLLHUP)) && client.sent < end) {
      const ssize_t put = ::send(client.socket.get(), line.data() + client.sent, end - client.sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put > 0) {
        client.sent += static_cast<std::size_t>(put);
        sent += static_cast<std::size_t>(put);
      } else if (put < 0 && errno != EAGAIN && errno != EINTR && errno != ENOTCONN) {
        client.closed = true;
      }
    }
  }
  return sent;
}

std::size_t ClientFlood::resend_for(const std::vector<std::string>& lines,
                                    std::string_view expected, std::chrono::milliseconds duration) {
  using Clock = std::chrono::steady_clock;
  std::size_t answered = 0;
  for (const auto end = Clock::now() + duration; Clock::now() < end;) {
    for (Client& client : clients_) {
      if (!client.closed) continue;
      if (client.reply == expected) ++answered;
      client = Client{connect_one()};
    }
    (void)pump_each([&](std::size_t i) -> std::string_view { return lines[i % lines.size()]; },
                    SIZE_MAX, std::chrono::milliseconds(50));
  }
  return answered;
}

std::size_t ClientFlood::push_until_stalled(std::string_view line,
                                            std::chrono::milliseconds stall) {
  using Clock = std::chrono::steady_clock;
  std::size_t total = 0;
  for (auto last_progress = Clock::now();;) {
    const bool everyone_has_it =
        std::all_of(clients_.begin(), clients_.end(),
                    [&](const Client& c) { return c.closed || c.sent == line.size(); });
    if (everyone_has_it) break;
    const std::size_t sent = pump(line, line.size(), std::chrono::milliseconds(50));
    total += sent;
    // Judged only after a round, so a pause of this thread alone is no stall.
    if (sent > 0) {
      last_progress = Clock::now();
    } else if (Clock::now() - last_progress >= stall) {
      break;
    }
  }
  return total;
}

bool ClientFlood::drain(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (open_clients() > 0 && std::chrono::steady_clock::now() < end) {
    pump("", 0, std::chrono::milliseconds(50));
  }
  return open_clients() == 0;
}

int ClientFlood::open_clients() const {
  return static_cast<int>(
      std::count_if(clients_.begin(), clients_.end(), [](const Client& c) { return !c.closed; }));
}

namespace {

// One "NNN kB" field of /proc/<pid>/status, in bytes.
std::size_t status_bytes(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field)) return std::stoull(line.substr(field.size())) * 1024;
  }
  return 0;
}

}  // namespace

std::size_t peak_resident_bytes(pid_t pid) { return status_bytes(pid, "VmHWM:"); }

std::size_t resident_bytes(pid_t pid) { return status_bytes(pid, "VmRSS:"); }

bool reset_peak_resident(pid_t pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

}  // namespace tavi::e2e
