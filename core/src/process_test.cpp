#include "tavi/process.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tavi
