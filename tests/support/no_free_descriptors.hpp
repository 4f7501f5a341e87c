// A process with no descriptor left to open, for tests of what the daemon
// does when the system has none to spare.
#pragma once

#include <sys/resource.h>

namespace tavi::test {

// While it lives, every open, socket or dup of this process fails with
// EMFILE: the soft limit drops to the lowest descriptor not in use. The old
// limit comes back when it ends. The limit holds for every thread of the
// process, so a test uses it in a process of its own.
class NoFreeDescriptors {
 public:
  NoFreeDescriptors();
  ~NoFreeDescriptors();
  NoFreeDescriptors(const NoFreeDescriptors&) = delete;
  NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

  // Whether the limit was lowered and no descriptor can be opened.
  bool holds() const { return holds_; }

 private:
  rlimit before_{};
  bool lowered_ = false;
  bool holds_ = false;
};

}  // namespace tavi::test
