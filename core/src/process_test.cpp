#include "tavi/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>

#include "tavi/platform.hpp"

namespace tavi {
namespace {

TEST(RunProcess, CapturesBothStreamsAndTheExitStatus) {
  auto r = run_process("/bin/sh", {"-c", "echo out; echo err >&2; read x; echo \"[$x]\"; exit 3"});
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->exited);
  EXPECT_EQ(r->exit_code, 3);
  EXPECT_FALSE(r->succeeded());
  EXPECT_EQ(r->out, "out\n[]\n");  // standard input is empty
  EXPECT_EQ(r->err, "err\n");
}

TEST(RunProcess, LargeOutputOnBothStreamsDoesNotBlock) {
  auto r = run_process("/bin/sh", {"-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"});
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->succeeded());
  EXPECT_EQ(r->out.size(), 300000u);
  EXPECT_EQ(r->err.size(), 300000u);
}

TEST(RunProcess, ArgumentsArePassedWithoutAShell) {
  auto r = run_process("/bin/echo", {"a b", "$HOME", "*"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->out, "a b $HOME *\n");
}

TEST(RunProcess, MissingProgramAndSignalEnd) {
  auto missing = run_process("/nonexistent/program", {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ENOENT);

  auto killed = run_process("/bin/sh", {"-c", "kill -9 $$"});
  ASSERT_TRUE(killed);
  EXPECT_FALSE(killed->exited);
  EXPECT_FALSE(killed->succeeded());
}

TEST(RunProcess, ChildGetsNoneOfOurDescriptors) {
  auto socket = platform::open_socket(AF_INET, SOCK_STREAM);
  ASSERT_TRUE(socket);
  auto pipe = platform::open_pipe();
  ASSERT_TRUE(pipe);
  std::string script;
  for (int fd : {socket->get(), pipe->first.get(), pipe->second.get()}) {
    const std::string n = std::to_string(fd);
    script += "[ -e /proc/self/fd/" + n + " ] && echo leaked " + n + "; ";
  }
  script += "readlink /proc/self/fd/0";
  auto r = run_process("/bin/sh", {"-c", script});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->out, "/dev/null\n");
}

// The daemon ignores SIGPIPE; the programs it starts must not inherit that.
TEST(RunProcess, ChildStartsWithDefaultSigpipe) {
  const auto old_handler = ::signal(SIGPIPE, SIG_IGN);
  auto r = run_process("/bin/grep", {"^SigIgn:", "/proc/self/status"});
  ::signal(SIGPIPE, old_handler);
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->succeeded()) << r->err;
  ASSERT_EQ(r->out.size(), 8u + 16u + 1u) << r->out;
  // Bit n - 1 stands for signal n.
  const unsigned long long ignored = std::stoull(r->out.substr(8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << r->out;
}

}  // namespace
}  // namespace tavi
