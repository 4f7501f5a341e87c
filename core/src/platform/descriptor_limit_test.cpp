#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "tavi/platform.hpp"

namespace tavi::platform {
namespace {

rlimit open_file_limit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return limit;
}

[[noreturn]] void exit_because(int status, const char* why) {
  std::fprintf(stderr, "%s\n", why);
  std::fflush(stderr);
  std::_Exit(status);
}

// Runs in a child process, whose limits it changes: the soft limit of 256 a
// daemon gets from launchd is raised to the hard limit, and raising it again
// changes nothing.
[[noreturn]] void raise_from_a_soft_limit_of_256() {
  const rlim_t hard = open_file_limit().rlim_max;
  const rlimit launchd_like{256, hard};
  if (::setrlimit(RLIMIT_NOFILE, &launchd_like) != 0) exit_because(2, "setrlimit");
  if (!raise_open_file_limit()) exit_because(3, "the raise was refused");
  if (open_file_limit().rlim_cur != hard) exit_because(4, "the soft limit is not the hard limit");
  if (!raise_open_file_limit()) exit_because(5, "a second raise failed");
  if (open_file_limit().rlim_cur != hard || open_file_limit().rlim_max != hard) {
    exit_because(6, "a second raise changed the limits");
  }
  std::_Exit(0);
}

TEST(RaiseOpenFileLimit, TheSoftLimitBecomesTheHardLimit) {
  if (open_file_limit().rlim_max <= 256) GTEST_SKIP() << "the hard limit is 256 or less here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(raise_from_a_soft_limit_of_256(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tavi::platform
