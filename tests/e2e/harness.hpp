// Starting the built tavi-helper as a black box, with scratch environment values.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scratch.hpp"
#include "tavi/fd.hpp"

namespace tavi::e2e {

// Path of the helper binary under test.
std::string helper_binary();

struct RunOutcome {
  int exit_status = -1;  // -1 when ended by a signal
  std::string out;
  std::string err;
};

// Environment changes for a child: a value sets the variable, nullopt-like
// empty-key handling is not needed; `unset` lists variables to remove.
struct ChildEnvironment {
  std::map<std::string, std::string> set;
  std::vector<std::string> unset;
};

// Runs the program to its end and captures both output streams.
RunOutcome run_program(const std::string& program, const std::vector<std::string>& args,
                       const ChildEnvironment& env = {});

// A started program that is killed when this object goes away.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& args,
                 const ChildEnvironment& env);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  // What the program wrote on standard error so far (read without blocking).
  std::string stderr_so_far();
  // Waits for the program to end, up to `limit`; the exit status or -1.
  int wait_exit(std::chrono::milliseconds limit);
  // Whether it has not ended yet (reaping it when it has).
  bool running();

 private:
  pid_t pid_ = -1;
  int stderr_fd_ = -1;
  std::string err_;
  bool reaped_ = false;
};

// The helper started with `run` through /bin/sh, which first runs
// `shell_setup` (say, limits to set, or a cgroup to join) and then execs it.
std::unique_ptr<RunningProgram> start_daemon_after(const std::string& shell_setup,
                                                   const ChildEnvironment& env);

// Polls `condition` every 50 ms until it holds or `limit` has passed.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(15));

// Sends `bytes` on `from` and whether exactly they arrive at `to` within 5 s.
bool passes(const Fd& from, const Fd& to, const std::string& bytes);

// What every test that starts a daemon gives it: scratch paths and a control
// port of its own. Fixtures derive from it.
class DaemonScratch {
 protected:
  // TAVI_CONFIG, TAVI_HOSTS_FILE and TAVI_IPC_ADDR in the scratch folder and
  // on the control port, the pool from `loopback_pool`, an update URL that
  // leads nowhere.
  ChildEnvironment environment(const std::string& loopback_pool) const;
  // The reply to a Ping on the control port, or a text saying what failed.
  std::string ping() const;
  // The reply to one request line (its line feed included), likewise.
  std::string request(const std::string& line) const;

  test::ScratchDir dir_;
  std::uint16_t control_port_;

 public:
  DaemonScratch();
};

using test::read_file;
using test::ScratchDir;
using test::write_file;

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();

}  // namespace tavi::e2e
