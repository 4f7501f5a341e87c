#include "cli.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

namespace tavi {
namespace {

// What a child process found after closing `closed` of the standard
// descriptors and applying the settings: 0 when every standard descriptor is
// /dev/null or was left as it was, and SIGPIPE is ignored; another number
// names the first check that failed.
int settings_in_child(std::initializer_list<int> closed) {
  const pid_t child = fork();
  if (child == 0) {
    struct stat before[3]{};
    for (int fd = 0; fd <= 2; ++fd) fstat(fd, &before[fd]);
    for (int fd : closed) close(fd);
    apply_process_settings();

    struct stat null_device {};
    if (stat("/dev/null", &null_device) != 0) _exit(10);
    for (int fd = 0; fd <= 2; ++fd) {
      struct stat now {};
      if (fstat(fd, &now) != 0) _exit(20 + fd);
      bool was_closed = false;
      for (int c : closed) was_closed = was_closed || c == fd;
      const struct stat& expected = was_closed ? null_device : before[fd];
      if (now.st_rdev != expected.st_rdev || now.st_ino != expected.st_ino) _exit(30 + fd);
      if (was_closed && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) _exit(40 + fd);
    }
    struct sigaction pipe_action {};
    if (sigaction(SIGPIPE, nullptr, &pipe_action) != 0) _exit(50);
    if (pipe_action.sa_handler != SIG_IGN) _exit(51);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ProcessSettings, ClosedStandardDescriptorsBecomeDevNullAndSigpipeIsIgnored) {
  EXPECT_EQ(settings_in_child({}), 0);
  EXPECT_EQ(settings_in_child({0, 1, 2}), 0);
  EXPECT_EQ(settings_in_child({1}), 0);
  EXPECT_EQ(settings_in_child({0, 2}), 0);
}

}  // namespace
}  // namespace tavi
