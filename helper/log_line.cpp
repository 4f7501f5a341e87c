#include "log_line.hpp"

#include <unistd.h>

#include <string>

#include "cli.hpp"
#include "tavi/text.hpp"

namespace tavi {

void log_line(std::string_view message) {
  print_line(STDERR_FILENO, "tavi-helper: " + escape_control_characters(message));
}

}  // namespace tavi
