#include "thread_cap.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace tavi::test {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

bool contains_word(const std::string& path, const std::string& word) {
  std::ifstream in(path);
  for (std::string w; in >> w;) {
    if (w == word) return true;
  }
  return false;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.flush();
  if (!out) throw std::runtime_error("cannot write " + text + " to " + path);
}

// The folder of this process's own pids cgroup: where the v1 pids hierarchy,
// or a cgroup2 hierarchy that enables pids below this process's cgroup, is
// mounted, joined with the path /proc/self/cgroup gives for it.
std::string own_pids_cgroup() {
  std::string v1_mount, v2_mount;
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    const std::vector<std::string> fields = split(line, ' ');
    if (fields.size() < 4) continue;
    if (fields[2] == "cgroup") {
      for (const std::string& option : split(fields[3], ',')) {
        if (option == "pids") v1_mount = fields[1];
      }
    } else if (fields[2] == "cgroup2") {
      v2_mount = fields[1];
    }
  }
  std::string v1_path, v2_path;
  std::ifstream own("/proc/self/cgroup");
  for (std::string line; std::getline(own, line);) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) v2_path = path;
    for (const std::string& controller : split(controllers, ',')) {
      if (controller == "pids") v1_path = path;
    }
  }
  if (!v1_mount.empty() && !v1_path.empty()) return v1_mount + v1_path;
  if (!v2_mount.empty() && !v2_path.empty() &&
      contains_word(v2_mount + v2_path + "/cgroup.subtree_control", "pids")) {
    return v2_mount + v2_path;
  }
  return "";
}

// Removes the cgroups that test programs which were killed left behind.
void remove_orphans(const std::string& home) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(home, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("tavi-test-")) continue;
    const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + 10));
    if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) ::rmdir(entry.path().c_str());
  }
}

}  // namespace

std::expected<ThreadCap, std::string> ThreadCap::create() {
  const std::string home = own_pids_cgroup();
  if (home.empty()) return std::unexpected("no pids cgroup hierarchy here");
  remove_orphans(home);
  static std::atomic<int> serial{0};
  const std::string dir =
      home + "/tavi-test-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
  if (::mkdir(dir.c_str(), 0755) != 0) {
    return std::unexpected("cannot make " + dir + ": " + std::strerror(errno));
  }
  ThreadCap cap(dir, home + "/cgroup.procs");
  if (::access((dir + "/pids.max").c_str(), W_OK) != 0) {
    return std::unexpected("no pids.max to write in " + dir);
  }
  return cap;
}

ThreadCap::ThreadCap(std::string dir, std::string home_procs_file)
    : dir_(std::move(dir)),
      procs_file_(dir_ + "/cgroup.procs"),
      home_procs_file_(std::move(home_procs_file)) {}

ThreadCap::ThreadCap(ThreadCap&& other) noexcept
    : dir_(std::exchange(other.dir_, "")),
      procs_file_(std::move(other.procs_file_)),
      home_procs_file_(std::move(other.home_procs_file_)),
      entered_(std::exchange(other.entered_, false)) {}

ThreadCap::~ThreadCap() {
  if (dir_.empty()) return;
  if (entered_) {
    try {
      leave();
    } catch (const std::exception&) {
      // Left in the cgroup, this process keeps its cap; removing it fails.
    }
  }
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (::rmdir(dir_.c_str()) == 0 || errno == ENOENT) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

long ThreadCap::tasks() const {
  std::ifstream in(dir_ + "/pids.current");
  long count = -1;
  in >> count;
  return count;
}

void ThreadCap::limit(long tasks) const { write_text(dir_ + "/pids.max", std::to_string(tasks)); }

void ThreadCap::enter_allowing(long more) {
  write_text(procs_file_, std::to_string(::getpid()));
  entered_ = true;
  limit(tasks() + more);
}

void ThreadCap::leave() {
  write_text(home_procs_file_, std::to_string(::getpid()));
  entered_ = false;
}

long running_threads() { return threads_of(::getpid()); }

long threads_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::stol(line.substr(8));
  }
  return -1;
}

bool wait_for_threads_to_end(long threads) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (running_threads() <= threads) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace tavi::test
