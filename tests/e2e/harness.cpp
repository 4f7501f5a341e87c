#include "harness.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "stream.hpp"
#include "tavi/socket.hpp"

extern char** environ;

namespace tavi::e2e {

namespace {

std::vector<std::string> child_environment(const ChildEnvironment& env) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : env.unset) vars.erase(name);
  for (const auto& [name, value] : env.set) vars[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const ChildEnvironment& env, int out_fd, int err_fd) {
  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = child_environment(env);
  auto argv = pointers(argv_texts);
  auto envp = pointers(env_texts);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawn failed: " + std::string(std::strerror(rc)));
  return pid;
}

int decode_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string helper_binary() {
  if (const char* path = std::getenv("TAVI_HELPER_UNDER_TEST")) return path;
  return TAVI_HELPER_BINARY;
}

RunOutcome run_program(const std::string& program, const std::vector<std::string>& args,
                       const ChildEnvironment& env) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = spawn(program, args, env, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  RunOutcome outcome;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.exit_status = decode_status(status);
  return outcome;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const ChildEnvironment& env) {
  int err_pipe[2];
  if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = spawn(program, args, env, devnull, err_pipe[1]);
  close(devnull);
  close(err_pipe[1]);
  stderr_fd_ = err_pipe[0];
  fcntl(stderr_fd_, F_SETFL, O_NONBLOCK);
}

RunningProgram::~RunningProgram() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (stderr_fd_ >= 0) close(stderr_fd_);
}

std::string RunningProgram::stderr_so_far() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(stderr_fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    err_.append(buffer, static_cast<std::size_t>(n));
  }
  return err_;
}

int RunningProgram::wait_exit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return decode_status(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -2;
}

std::unique_ptr<RunningProgram> start_daemon_after(const std::string& shell_setup,
                                                   const ChildEnvironment& env) {
  return std::make_unique<RunningProgram>(
      "/bin/sh",
      std::vector<std::string>{"-c", shell_setup + " && exec \"$0\" run", helper_binary()}, env);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < deadline;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

bool passes(const Fd& from, const Fd& to, const std::string& bytes) {
  if (!send_all(from.get(), bytes)) return false;
  std::string got(bytes.size(), '\0');
  (void)set_receive_timeout(to.get(), std::chrono::seconds(5));
  const ssize_t n = ::recv(to.get(), got.data(), got.size(), MSG_WAITALL);
  return n == static_cast<ssize_t>(bytes.size()) && got == bytes;
}

bool RunningProgram::running() {
  if (reaped_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  reaped_ = true;
  return false;
}

DaemonScratch::DaemonScratch() : control_port_(static_cast<std::uint16_t>(free_loopback_port())) {}

ChildEnvironment DaemonScratch::environment(const std::string& loopback_pool) const {
  return {.set = {{"TAVI_CONFIG", dir_.file("config.json")},
                  {"TAVI_HOSTS_FILE", dir_.file("hosts")},
                  {"TAVI_IPC_ADDR", "127.0.0.1:" + std::to_string(control_port_)},
                  {"TAVI_LOOPBACK", loopback_pool},
                  {"TAVI_UPDATE_URL", "http://127.0.0.1:9"}}};
}

std::string DaemonScratch::ping() const { return request("\"Ping\"\n"); }

std::string DaemonScratch::request(const std::string& line) const {
  auto client =
      connect_with_timeout({Ipv4Address{{127, 0, 0, 1}}, control_port_}, std::chrono::seconds(2));
  if (!client) return "<no connection>";
  (void)set_receive_timeout(client->get(), std::chrono::seconds(5));
  if (!send_all(client->get(), line)) return "<not sent>";
  return test::read_until_closed(client->get());
}

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace tavi::e2e
