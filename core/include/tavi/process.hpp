// Running an external program: by absolute path, no shell, standard input from
// /dev/null, standard output and standard error captured, SIGPIPE back at its
// default.
#pragma once

#include <string>
#include <vector>

#include "tavi/os_error.hpp"

namespace tavi {

struct ProcessOutcome {
  bool exited = false;  // false: ended by a signal
  int exit_code = 0;
  std::string out;
  std::string err;
  bool succeeded() const { return exited && exit_code == 0; }
};

// Waits for the program to end. The error is why it could not be started.
OsResult<ProcessOutcome> run_process(const std::string& program, const std::vector<std::string>& args);

}  // namespace tavi
