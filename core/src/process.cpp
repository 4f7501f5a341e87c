#include "tavi/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tavi/platform.hpp"

extern char** environ;

namespace tavi {

namespace {

// Reads both pipes until both are closed, so a program that writes much on
// one of them can never block on the other.
void drain(Fd& out, Fd& err, ProcessOutcome& outcome) {
  pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

}  // namespace

OsResult<ProcessOutcome> run_process(const std::string& program, const std::vector<std::string>& args) {
  auto out_pipe = platform::open_pipe();
  if (!out_pipe) return std::unexpected(out_pipe.error());
  auto err_pipe = platform::open_pipe();
  if (!err_pipe) return std::unexpected(err_pipe.error());

  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : argv_texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // dup2 clears close-on-exec on the child's copies only.
  posix_spawn_file_actions_adddup2(&actions, out_pipe->second.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe->second.get(), STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The daemon ignores SIGPIPE, and an ignored signal survives exec: the
  // program gets the default back.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(
      &attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | platform::spawn_descriptor_flags()));
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::unexpected(OsError{rc});

  out_pipe->second.reset();
  err_pipe->second.reset();
  ProcessOutcome outcome;
  drain(out_pipe->first, err_pipe->first, outcome);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(last_os_error());
  }
  outcome.exited = WIFEXITED(status);
  outcome.exit_code = outcome.exited ? WEXITSTATUS(status) : 0;
  return outcome;
}

}  // namespace tavi
