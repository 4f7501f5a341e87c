#include "tavi/socket.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

namespace tavi {
namespace {

using namespace std::chrono_literals;

SocketAddress loopback(std::uint16_t port) { return {Ipv4Address{{127, 0, 0, 1}}, port}; }

TEST(Sockets, ConnectAcceptAndCloseOnExec) {
  auto listener = bind_listener(loopback(0));
  ASSERT_TRUE(listener);
  auto bound = local_address(listener->get());
  ASSERT_TRUE(bound);
  auto client = connect_with_timeout(*bound, 1s);
  ASSERT_TRUE(client);
  auto server = accept_connection(listener->get());
  ASSERT_TRUE(server);
  for (int fd : {listener->get(), client->get(), server->get()}) {
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_FALSE(::fcntl(client->get(), F_GETFL) & O_NONBLOCK);
  auto copy = duplicate_fd(client->get());
  ASSERT_TRUE(copy);
  EXPECT_TRUE(::fcntl(copy->get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(send_all(copy->get(), "hi"));
  char buffer[2];
  EXPECT_EQ(::recv(server->get(), buffer, 2, MSG_WAITALL), 2);
}

TEST(Sockets, RefusedConnectFailsAtOnce) {
  auto listener = bind_listener(loopback(0));
  ASSERT_TRUE(listener);
  auto bound = *local_address(listener->get());
  listener->reset();
  const auto start = std::chrono::steady_clock::now();
  auto client = connect_with_timeout(bound, 5s);
  ASSERT_FALSE(client);
  EXPECT_EQ(client.error().code, ECONNREFUSED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(Sockets, FullAcceptQueueRunsIntoTheTimeLimit) {
  // Backlog 0 with one connection waiting: further connects neither succeed nor fail.
  auto listener = bind_listener(loopback(0), 0);
  ASSERT_TRUE(listener);
  auto bound = *local_address(listener->get());
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    if (auto c = connect_with_timeout(bound, 200ms)) fillers.push_back(std::move(*c));
  }
  const auto start = std::chrono::steady_clock::now();
  auto client = connect_with_timeout(bound, 300ms);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(client);
  EXPECT_EQ(client.error().code, ETIMEDOUT);
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 2s);
}

TEST(Sockets, BindOnAnAddressInUseFails) {
  auto first = bind_listener(loopback(0));
  ASSERT_TRUE(first);
  auto second = bind_listener(*local_address(first->get()));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().code, EADDRINUSE);
}

}  // namespace
}  // namespace tavi
