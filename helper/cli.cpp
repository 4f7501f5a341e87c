#include "cli.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

#include "commands.hpp"
#include "tavi/version.hpp"

namespace tavi {

void apply_process_settings() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open() takes the lowest free descriptor, which is this one.
      (void)::open("/dev/null", O_RDWR);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
}

std::string usage_error() { return "Pemakaian: tavi-helper run | install | uninstall"; }

void print_line(int fd, std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody is reading; nothing better can be done
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

void dispatch_command(int argc, char** argv) {
  const std::string_view command = argc > 1 ? std::string_view(argv[1]) : std::string_view();

  Result<void> outcome;
  if (command == "run") {
    outcome = run_daemon();
  } else if (command == "install") {
    outcome = install_helper();
  } else if (command == "uninstall") {
    uninstall_helper();
  } else if (command == "update") {
    outcome = run_update_command();
  } else if (command == "--version") {
    print_line(STDOUT_FILENO, HELPER_VERSION);
  } else {
    outcome = fail(usage_error());
  }

  if (!outcome) {
    print_line(STDERR_FILENO, "tavi-helper: " + outcome.error());
    std::exit(1);
  }
}

}  // namespace tavi
