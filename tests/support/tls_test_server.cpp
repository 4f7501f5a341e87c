#include "tls_test_server.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace tavi::testing {

namespace {

// Starts `program` with stdin and stderr on /dev/null and stdout on `out_fd`
// (or /dev/null when -1).
pid_t start(const std::vector<std::string>& args, int out_fd) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

void run(const std::vector<std::string>& args) {
  const pid_t pid = start(args, -1);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
}

}  // namespace

TlsTestServer::TlsTestServer() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavi-tls-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  certificate_ = dir_ + "/certificate.pem";
  folder_ = dir_ + "/roots";
  const std::string key = dir_ + "/key.pem";
  run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out",
       certificate_});
  std::filesystem::create_directory(folder_);
  std::filesystem::copy_file(certificate_, folder_ + "/certificate.pem");
  run({"/usr/bin/openssl", "rehash", folder_});

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = start({"/usr/bin/python3", TAVI_TEST_SUPPORT_DIR "/tls_server.py", certificate_, key},
               out[1]);
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) throw std::runtime_error("the TLS test server did not start");
}

TlsTestServer::~TlsTestServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TlsTestServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace tavi::testing
