// The command line: start-up settings, the command word and the one error line.
#pragma once

#include <string>

namespace tavi {

// Opens each closed standard descriptor on /dev/null and ignores SIGPIPE.
// Runs before any thread exists.
void apply_process_settings();

// Runs the command named by argv[1]. Returns on success; on failure prints
// "tavi-helper: {message}" on standard error and ends the process with status 1.
void dispatch_command(int argc, char** argv);

// "Pemakaian: tavi-helper run | install | uninstall"
std::string usage_error();

// Writes one line (text and LF) to standard output or standard error.
void print_line(int fd, std::string_view text);

}  // namespace tavi
