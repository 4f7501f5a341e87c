#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "tavi/ipc.hpp"

namespace tavi {
namespace {

// Sets or removes TAVI_IPC_ADDR for one test and puts the old value back.
class IpcAddressEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TAVI_IPC_ADDR")) saved_ = old;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TAVI_IPC_ADDR", saved_->c_str(), 1);
    } else {
      ::unsetenv("TAVI_IPC_ADDR");
    }
  }
  std::optional<std::string> saved_;
};

TEST_F(IpcAddressEnv, DefaultIsTheUsualControlPort) {
  ::unsetenv("TAVI_IPC_ADDR");
  EXPECT_EQ(format_socket_address(ipc_address()), "127.0.0.1:47811");
  EXPECT_EQ(ipc_address(), DEFAULT_IPC_ADDR);
}

TEST_F(IpcAddressEnv, OnlyLoopbackSocketAddressesAreUsed) {
  struct Case {
    std::string value;
    std::string expected;  // the address in its text form
  };
  const std::vector<Case> cases = {
      {"127.0.0.2:5000", "127.0.0.2:5000"},
      {"127.255.1.9:00080", "127.255.1.9:80"},
      {"127.0.0.1:0", "127.0.0.1:0"},
      {"[::1]:5000", "[::1]:5000"},
      {"[::1%3]:5000", "[::1%3]:5000"},
      {"[0:0:0:0:0:0:0:1]:65535", "[::1]:65535"},
      {"0.0.0.0:5000", "127.0.0.1:47811"},
      {"192.168.1.2:5000", "127.0.0.1:47811"},
      {"128.0.0.1:5000", "127.0.0.1:47811"},
      {"localhost:5000", "127.0.0.1:47811"},
      {"[::ffff:127.0.0.1]:5000", "127.0.0.1:47811"},
      {"[::]:5000", "127.0.0.1:47811"},
      {"[::2]:5000", "127.0.0.1:47811"},
      {" 127.0.0.1:5000", "127.0.0.1:47811"},
      {"127.0.0.1:5000 ", "127.0.0.1:47811"},
      {"127.0.0.1", "127.0.0.1:47811"},
      {"127.0.0.1:", "127.0.0.1:47811"},
      {"127.0.0.1:65536", "127.0.0.1:47811"},
      {"::1:5000", "127.0.0.1:47811"},
      {"[::1]", "127.0.0.1:47811"},
      {"", "127.0.0.1:47811"},
      {"127.0.0.1:5000\xFF", "127.0.0.1:47811"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ(::setenv("TAVI_IPC_ADDR", c.value.c_str(), 1), 0);
    EXPECT_EQ(format_socket_address(ipc_address()), c.expected);
  }
}

TEST_F(IpcAddressEnv, TheEnvironmentIsReadAtEveryCall) {
  ::setenv("TAVI_IPC_ADDR", "127.0.0.9:1234", 1);
  EXPECT_EQ(format_socket_address(ipc_address()), "127.0.0.9:1234");
  ::setenv("TAVI_IPC_ADDR", "127.0.0.10:4321", 1);
  EXPECT_EQ(format_socket_address(ipc_address()), "127.0.0.10:4321");
  ::unsetenv("TAVI_IPC_ADDR");
  EXPECT_EQ(ipc_address(), DEFAULT_IPC_ADDR);
}

}  // namespace
}  // namespace tavi
