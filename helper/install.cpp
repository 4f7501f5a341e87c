#include "install.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>  // fmt::join moved here in fmt 11
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cli.hpp"
#include "pool.hpp"
#include "tavi/files.hpp"
#include "tavi/hosts.hpp"
#include "tavi/path.hpp"
#include "tavi/platform.hpp"
#include "tavi/process.hpp"
#include "tavi/text.hpp"
#include "tavi/update/staging.hpp"

namespace tavi {

Result<void> run_launchctl(const Layout& layout, const std::vector<std::string>& args) {
  const auto outcome = run_process(layout.launchctl, args);
  if (!outcome) return fail(fmt::format("{}: {}", layout.launchctl, outcome.error().text()));
  if (outcome->succeeded()) return {};
  return fail(fmt::format("{} {}: {}", layout.launchctl, fmt::join(args, " "),
                          trim_white_space(utf8_lossy(outcome->err))));
}

Result<void> run_launchctl(const std::vector<std::string>& args) {
  return run_launchctl(default_layout(), args);
}

void bootout_service(const Layout& layout) {
  (void)run_launchctl(layout, {"bootout", fmt::format("system/{}", SERVICE_LABEL)});
}

void bootout_service() { bootout_service(default_layout()); }

Result<void> bootstrap_service(const Layout& layout, BootstrapRetry retry) {
  const auto deadline = std::chrono::steady_clock::now() + retry.limit;
  for (;;) {
    auto loaded = run_launchctl(layout, {"bootstrap", "system", layout.job_file});
    if (loaded || std::chrono::steady_clock::now() + retry.interval > deadline) return loaded;
    std::this_thread::sleep_for(retry.interval);
  }
}

Result<void> install_helper(const Layout& layout, const std::string& running_executable,
                            BootstrapRetry retry) {
  bootout_service(layout);
  const std::string& installed = layout.installed_executable;

  if (const auto folder = containing_folder(installed)) {
    if (auto made = create_folders(*folder); !made) return fail(made.error().text());
  }

  // Started from the installed path itself: the file is in place already.
  if (!same_path(running_executable, installed)) {
    const std::string temporary = replace_extension(installed, "new");
    if (auto copied = platform::copy_file(running_executable, temporary); !copied) {
      return fail(fmt::format("Gagal menyalin helper: {}", copied.error()));
    }
    if (::chmod(temporary.c_str(), INSTALLED_MODE) != 0) return fail(os_error_text(errno));
    if (::rename(temporary.c_str(), installed.c_str()) != 0) {
      return fail(fmt::format("Gagal memasang helper: {}", os_error_text(errno)));
    }
  }

  const std::string plist = fmt::format(LAUNCHD_PLIST_TEMPLATE, SERVICE_LABEL, installed);
  if (auto written = write_file(layout.job_file, plist); !written) {
    return fail(fmt::format("Gagal menulis plist: {}", written.error().text()));
  }
  if (auto loaded = bootstrap_service(layout, retry); !loaded) return loaded;
  print_line(STDOUT_FILENO, fmt::format("tavi-helper terpasang di {}", installed));
  return {};
}

Result<void> install_helper(const Layout& layout) {
  const auto running = platform::executable_path();
  if (!running) {
    // The job is unloaded first whatever happens next.
    bootout_service(layout);
    return fail(running.error().text());
  }
  return install_helper(layout, *running);
}

Result<void> install_helper() { return install_helper(default_layout()); }

void uninstall_helper(const Layout& layout) {
  bootout_service(layout);
  (void)::unlink(layout.job_file.c_str());

  // The hosts path and the pool come from this process's own environment.
  if (const auto changed = write_hosts_block(hosts_path(), {}); changed && *changed) {
    flush_dns_cache(layout);
  }
  for (std::size_t k = 0; k < UNINSTALL_ALIAS_COUNT; ++k) {
    const auto address = loopback_address(k);
    if (!address) break;
    (void)run_process(layout.ifconfig, {"lo0", "-alias", format_ip_address(*address)});
  }

  (void)::unlink(layout.installed_executable.c_str());
  // The lock file that update runs keep beside the executable.
  if (const auto staged = staged_paths(layout.installed_executable)) {
    (void)::unlink(staged->lock.c_str());
  }
  print_line(STDOUT_FILENO, "tavi-helper dihapus, file hosts sudah dibersihkan.");
}

void uninstall_helper() { uninstall_helper(default_layout()); }

}  // namespace tavi
