// The `update` command: one self-update of the file that was started.
#include <fmt/format.h>
#include <unistd.h>

#include "cli.hpp"
#include "commands.hpp"
#include "tavi/platform.hpp"
#include "tavi/text.hpp"
#include "tavi/update/run.hpp"
#include "tavi/version.hpp"

namespace tavi {

Result<void> run_update_command() {
  // The path as the system reports it: a link or ".." in it stays, so the
  // file replaced is the one named when the command was started.
  auto executable = platform::executable_path();
  if (!executable) return fail(executable.error().text());
  auto updated = run_update(*executable);
  if (!updated) return fail(updated.error());
  if (!*updated) {
    print_line(STDOUT_FILENO, fmt::format("tavi-helper sudah versi terbaru ({}).", HELPER_VERSION));
  } else {
    print_line(STDOUT_FILENO,
               fmt::format("tavi-helper diperbarui ke {}: {}", **updated, utf8_lossy(*executable)));
  }
  return {};
}

}  // namespace tavi
