// A cap on how many threads a process may run, for tests of what the daemon
// does when the system refuses a thread. It is a pids cgroup (the v1 pids
// hierarchy, or cgroup2 where the pids controller is enabled): root, whom
// tests run as, is exempt from RLIMIT_NPROC but not from a cgroup's limit,
// and the limit counts every thread of every member.
#pragma once

#include <sys/types.h>

#include <expected>
#include <string>

namespace tavi::test {

class ThreadCap {
 public:
  // A new empty cgroup beside this process's own, with no limit yet; the
  // reason when none can be made here (not root, no pids controller).
  static std::expected<ThreadCap, std::string> create();

  ThreadCap(ThreadCap&& other) noexcept;
  ThreadCap& operator=(ThreadCap&&) = delete;
  // Leaves it if this process is in it, then removes it once its members are
  // gone (waiting a few seconds for ending threads).
  ~ThreadCap();

  // A process writing its pid here joins the cgroup with all its threads.
  const std::string& procs_file() const { return procs_file_; }
  // The threads of all members now.
  long tasks() const;
  // From now on no member starts a thread while `tasks` run.
  void limit(long tasks) const;

  // Moves this process in, then allows it `more` threads beyond those it runs.
  void enter_allowing(long more);
  // Moves this process back to its own cgroup.
  void leave();

 private:
  ThreadCap(std::string dir, std::string home_procs_file);

  std::string dir_;
  std::string procs_file_;
  std::string home_procs_file_;
  bool entered_ = false;
};

// Waits up to a few seconds until this process runs at most `threads`
// threads: a thread that has done its work may take a moment to end, and
// until it has, it counts against a cap. False when they did not end.
bool wait_for_threads_to_end(long threads);

// How many threads this process runs now.
long running_threads();

// How many threads process `pid` runs now; -1 once it is gone.
long threads_of(pid_t pid);

}  // namespace tavi::test
