#include "forward.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <latch>
#include <thread>

#include "no_free_descriptors.hpp"
#include "tavi/socket.hpp"

namespace tavi {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SocketAddress local(std::uint8_t d, std::uint16_t port = 0) {
  return {Ipv4Address{{127, 43, 0, d}}, port};
}

// Bytes of every value, in an order that differs with the seed.
std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 256);
  return bytes;
}

struct Received {
  std::string bytes;
  bool ended = false;  // the peer's end of stream was seen (not a time-out or an error)
};

Received read_to_end(int fd, std::chrono::milliseconds limit = 5s) {
  Received received;
  (void)set_receive_timeout(fd, limit);
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return received;
    if (got == 0) {
      received.ended = true;
      return received;
    }
    received.bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string read_exactly(int fd, std::size_t size) {
  std::string bytes(size, '\0');
  (void)set_receive_timeout(fd, 5s);
  const ssize_t got = ::recv(fd, bytes.data(), size, MSG_WAITALL);
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

std::optional<Fd> accept_within(const Fd& listener, std::chrono::milliseconds limit) {
  pollfd wait{listener.get(), POLLIN, 0};
  if (::poll(&wait, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
  auto connection = accept_connection(listener.get());
  if (!connection) return std::nullopt;
  return std::move(*connection);
}

// A server the forwarder connects to; the test accepts and drives its side.
struct Upstream {
  Upstream() {
    auto bound = bind_listener({Ipv4Address{{127, 0, 0, 1}}, 0});
    EXPECT_TRUE(bound);
    if (!bound) return;
    listener = std::move(*bound);
    address = *local_address(listener.get());
  }
  Fd accept() {
    std::optional<Fd> connection = accept_within(listener, 3s);
    EXPECT_TRUE(connection) << "no connection reached the upstream server";
    return connection ? std::move(*connection) : Fd();
  }
  Fd listener;
  SocketAddress address;
};

// One forward listener on its own listen address, run on a thread the
// fixture stops at the end.
class Forwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    auto bound = bind_listener(local(1));
    ASSERT_TRUE(bound);
    listen_ = *local_address(bound->get());
    listener_thread_ = std::thread(
        [this, listener = std::move(*bound), done = std::move(done_promise_)]() mutable {
          run_forward_listener(listen_, table_, stop_, std::move(listener));
          done.set_value();
        });
  }

  void TearDown() override {
    if (!stop_listener()) ADD_FAILURE() << "the forward listener did not end";
  }

  // The apply loop's way: the flag first, then a wake-up connection. A
  // listener that does not end is left behind rather than hanging the test.
  bool stop_listener() {
    if (!listener_thread_.joinable()) return true;
    if (done_.wait_for(0s) != std::future_status::ready) {
      stop_->store(true, std::memory_order_release);
      auto wake = connect_with_timeout(listen_, 1s);
      if (done_.wait_for(3s) != std::future_status::ready) {
        listener_thread_.detach();
        return false;
      }
    }
    listener_thread_.join();
    return true;
  }

  Fd connect_client() {
    auto client = connect_with_timeout(listen_, 1s);
    EXPECT_TRUE(client);
    return client ? std::move(*client) : Fd();
  }

  // Connects a client and waits until the forwarder closes it without a byte.
  Clock::duration time_until_closed_unforwarded(std::chrono::milliseconds limit) {
    Fd client = connect_client();
    const auto start = Clock::now();
    const Received received = read_to_end(client.get(), limit);
    EXPECT_TRUE(received.ended);
    EXPECT_EQ(received.bytes, "");
    return Clock::now() - start;
  }

  // A client connected through the listener to a fresh upstream server.
  struct Forwarded {
    Upstream upstream;
    Fd client;
    Fd server;
  };
  Forwarded open_forwarded() {
    Forwarded forwarded;
    table_->replace({{listen_, forwarded.upstream.address}});
    forwarded.client = connect_client();
    forwarded.server = forwarded.upstream.accept();
    return forwarded;
  }

  std::shared_ptr<ForwardTable> table_ = std::make_shared<ForwardTable>();
  std::shared_ptr<StopFlag> stop_ = std::make_shared<StopFlag>(false);
  SocketAddress listen_;
  std::promise<void> done_promise_;
  std::future<void> done_ = done_promise_.get_future();
  std::thread listener_thread_;
};

TEST_F(Forwarding, BinaryDataLargerThanTheBufferPassesBothWaysUnchanged) {
  auto [upstream, client, server] = open_forwarded();

  const std::string up = pattern(1 << 20, 7);
  const std::string down = pattern(1 << 20, 200);
  std::thread client_writer([&] {
    EXPECT_TRUE(send_all(client.get(), up));
    shutdown_write(client.get());
  });
  std::thread server_writer([&] {
    EXPECT_TRUE(send_all(server.get(), down));
    shutdown_write(server.get());
  });
  const Received at_server = read_to_end(server.get());
  const Received at_client = read_to_end(client.get());
  client_writer.join();
  server_writer.join();

  EXPECT_TRUE(at_server.ended);
  EXPECT_TRUE(at_client.ended);
  EXPECT_TRUE(at_server.bytes == up) << at_server.bytes.size() << " bytes arrived";
  EXPECT_TRUE(at_client.bytes == down) << at_client.bytes.size() << " bytes arrived";
}

TEST_F(Forwarding, ClientHalfCloseStillGetsTheReply) {
  auto [upstream, client, server] = open_forwarded();

  ASSERT_TRUE(send_all(client.get(), "request"));
  shutdown_write(client.get());
  const Received request = read_to_end(server.get());
  EXPECT_TRUE(request.ended);
  EXPECT_EQ(request.bytes, "request");

  ASSERT_TRUE(send_all(server.get(), "reply"));
  server.reset();
  const Received reply = read_to_end(client.get());
  EXPECT_TRUE(reply.ended);
  EXPECT_EQ(reply.bytes, "reply");
}

TEST_F(Forwarding, UpstreamCloseEndsTheClientsStreamAtOnce) {
  auto [upstream, client, server] = open_forwarded();

  ASSERT_TRUE(send_all(server.get(), "bye"));
  server.reset();
  // The client has not closed anything, yet its stream ends.
  const Received received = read_to_end(client.get(), 2s);
  EXPECT_TRUE(received.ended);
  EXPECT_EQ(received.bytes, "bye");
}

TEST_F(Forwarding, ListenAddressWithoutATargetClosesAtOnce) {
  Upstream upstream;
  const std::vector<ForwardMap> tables = {
      {},
      {{local(1, static_cast<std::uint16_t>(listen_.port + 1)), upstream.address}},
      {{local(2, listen_.port), upstream.address}},
  };
  for (const ForwardMap& map : tables) {
    table_->replace(map);
    EXPECT_LT(time_until_closed_unforwarded(2s), 1s);
  }
  EXPECT_FALSE(accept_within(upstream.listener, 100ms));
}

TEST_F(Forwarding, RefusingTargetClosesTheClient) {
  SocketAddress closed;
  {
    Upstream gone;
    closed = gone.address;
  }
  table_->replace({{listen_, closed}});
  EXPECT_LT(time_until_closed_unforwarded(3s), 1s);
}

TEST_F(Forwarding, SilentTargetClosesTheClientAfterTheConnectLimit) {
  // A full accept queue: connecting to it neither succeeds nor fails.
  auto silent = bind_listener({Ipv4Address{{127, 43, 1, 1}}, 0}, 0);
  ASSERT_TRUE(silent);
  const SocketAddress target = *local_address(silent->get());
  std::vector<Fd> waiting;
  for (int i = 0; i < 4; ++i) {
    if (auto c = connect_with_timeout(target, 200ms)) waiting.push_back(std::move(*c));
  }
  ASSERT_FALSE(waiting.empty());

  table_->replace({{listen_, target}});
  const auto took = time_until_closed_unforwarded(10s);
  EXPECT_GE(took, 4500ms);
  EXPECT_LT(took, 9s);
}

TEST_F(Forwarding, ReplacedTableLeavesOpenConnectionsOnTheirOldTarget) {
  Upstream first, second;
  table_->replace({{listen_, first.address}});
  Fd old_client = connect_client();
  Fd old_server = first.accept();

  table_->replace({{listen_, second.address}});
  Fd new_client = connect_client();
  Fd new_server = second.accept();
  EXPECT_FALSE(accept_within(first.listener, 100ms));

  ASSERT_TRUE(send_all(old_client.get(), "old"));
  EXPECT_EQ(read_exactly(old_server.get(), 3), "old");
  ASSERT_TRUE(send_all(old_server.get(), "first"));
  EXPECT_EQ(read_exactly(old_client.get(), 5), "first");

  ASSERT_TRUE(send_all(new_client.get(), "new"));
  EXPECT_EQ(read_exactly(new_server.get(), 3), "new");
  ASSERT_TRUE(send_all(new_server.get(), "second"));
  EXPECT_EQ(read_exactly(new_client.get(), 6), "second");
}

TEST_F(Forwarding, StoppedListenerEndsAtTheNextConnectionAndFreesItsPort) {
  Upstream upstream;
  table_->replace({{listen_, upstream.address}});

  // The flag alone does not end a listener blocked in accept.
  stop_->store(true, std::memory_order_release);
  EXPECT_EQ(done_.wait_for(200ms), std::future_status::timeout);
  auto taken = bind_listener(listen_);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().code, EADDRINUSE);

  // The wake-up connection ends it, unforwarded.
  Fd wake = connect_client();
  EXPECT_EQ(done_.wait_for(3s), std::future_status::ready);
  const Received received = read_to_end(wake.get(), 2s);
  EXPECT_TRUE(received.ended);
  EXPECT_EQ(received.bytes, "");
  EXPECT_FALSE(accept_within(upstream.listener, 100ms));
  EXPECT_TRUE(bind_listener(listen_));
}

// Every socket of this process that belongs to the forwarded connection.
struct ForwarderSockets {
  int client_side = 0;    // local address is the listen address
  int upstream_side = 0;  // peer address is the upstream server
  bool all_close_on_exec = true;
  bool all_no_delay = true;
};

std::optional<SocketAddress> peer_address(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
  return from_sockaddr(reinterpret_cast<const sockaddr*>(&storage));
}

ForwarderSockets find_forwarder_sockets(const SocketAddress& listen, const SocketAddress& upstream,
                                        const std::vector<int>& own) {
  ForwarderSockets found;
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return found;
  while (const dirent* entry = ::readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == ::dirfd(fds)) continue;
    if (std::find(own.begin(), own.end(), fd) != own.end()) continue;
    const auto here = local_address(fd);
    const auto peer = peer_address(fd);
    if (!here || !peer) continue;
    const bool client_side = *here == listen;
    const bool upstream_side = *peer == upstream;
    if (!client_side && !upstream_side) continue;
    found.client_side += client_side;
    found.upstream_side += upstream_side;
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length);
    found.all_no_delay = found.all_no_delay && no_delay != 0;
    found.all_close_on_exec = found.all_close_on_exec && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
  }
  ::closedir(fds);
  return found;
}

// Sockets of this process that are not listening, whatever their state.
int connected_socket_count() {
  int count = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (const dirent* entry = ::readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == ::dirfd(fds)) continue;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) continue;
    int listening = 0;
    socklen_t length = sizeof listening;
    const bool queried = ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0;
    if (queried && listening != 0) continue;
    ++count;
  }
  ::closedir(fds);
  return count;
}

TEST_F(Forwarding, ForwardedDescriptorsAreCloseOnExecWithoutDelay) {
  const int before = connected_socket_count();
  auto [upstream, client, server] = open_forwarded();
  // One round trip: both directions are running.
  ASSERT_TRUE(send_all(client.get(), "ping"));
  EXPECT_EQ(read_exactly(server.get(), 4), "ping");

  const ForwarderSockets sockets =
      find_forwarder_sockets(listen_, upstream.address, {client.get(), server.get()});
  EXPECT_EQ(sockets.client_side, 2);  // the accepted connection and its duplicate
  EXPECT_EQ(sockets.upstream_side, 2);
  EXPECT_TRUE(sockets.all_close_on_exec);
  EXPECT_TRUE(sockets.all_no_delay);

  // Once both ends have closed, the forwarder holds none of the four.
  client.reset();
  server.reset();
  for (const auto deadline = Clock::now() + 3s;
       connected_socket_count() != before && Clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(connected_socket_count(), before);
}

std::chrono::nanoseconds process_cpu_time() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

[[noreturn]] void exit_because(int status, const char* why) {
  std::fprintf(stderr, "%s\n", why);
  std::fflush(stderr);
  std::_Exit(status);
}

// Runs in a child process, whose descriptor limit it lowers until accept
// fails with EMFILE: the listener pauses between its attempts instead of
// spinning, and a stop still ends it although its wake-up connection can
// never be accepted. Whatever needs a descriptor is made before the limit is
// lowered, and so is every first sanitizer check of a type (which uses a
// pipe); the checks end the process themselves, so that no thread ends while
// the limit is down.
[[noreturn]] void run_a_listener_out_of_descriptors() {
  auto bound = bind_listener(local(3));
  if (!bound) exit_because(2, "bind");
  const SocketAddress listen = *local_address(bound->get());
  Fd wake(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!wake) exit_because(2, "socket");
  auto table = std::make_shared<ForwardTable>();
  auto stop = std::make_shared<StopFlag>(false);
  std::latch limited(1);
  std::atomic<bool> ended{false};

  // Copied now, each for its first sanitizer check; these copies are never
  // released.
  const std::shared_ptr<ForwardTable> table_kept = table;
  std::thread checks([&, stop] {
    limited.wait();
    // A loop that retried at once would burn all of this wait on the CPU; a
    // busy machine can only lower what it gets.
    const auto cpu_before = process_cpu_time();
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(800ms);
    const auto cpu = process_cpu_time() - cpu_before;
    if (cpu * 2 > Clock::now() - wall_before) exit_because(3, "the listener spun on EMFILE");

    stop->store(true, std::memory_order_release);
    const SockaddrBuffer address = to_sockaddr(listen);
    if (::connect(wake.get(), address.get(), address.length) != 0) exit_because(2, "connect");
    for (const auto deadline = Clock::now() + 5s; !ended && Clock::now() < deadline;) {
      std::this_thread::sleep_for(10ms);
    }
    if (!ended) exit_because(4, "the stopped listener did not end");
    std::_Exit(0);
  });

  // Kept down until the process ends.
  const test::NoFreeDescriptors none;
  if (!none.holds()) exit_because(2, "no EMFILE");
  limited.count_down();

  run_forward_listener(listen, std::move(table), std::move(stop), std::move(*bound));
  ended = true;
  for (;;) ::pause();
}

TEST(ForwardListener, OutOfDescriptorsItPausesAndStillEndsWhenStopped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_a_listener_out_of_descriptors(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tavi
