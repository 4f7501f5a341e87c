// Installing the helper as a launchd system daemon and removing it again.
// The no-argument forms in commands.hpp use default_layout(); tests pass a
// layout rooted in a scratch folder.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "commands.hpp"
#include "tavi/layout.hpp"
#include "tavi/result.hpp"

namespace tavi {

// Pool indexes 0 to 63 lose their loopback alias at uninstall, no more.
inline constexpr std::size_t UNINSTALL_ALIAS_COUNT = 64;
inline constexpr mode_t INSTALLED_MODE = 0755;

// A refused bootstrap is tried again this often, for up to this long.
inline constexpr std::chrono::milliseconds BOOTSTRAP_RETRY_INTERVAL{200};
inline constexpr std::chrono::milliseconds BOOTSTRAP_RETRY_LIMIT = std::chrono::seconds(10);

struct BootstrapRetry {
  std::chrono::milliseconds interval = BOOTSTRAP_RETRY_INTERVAL;
  std::chrono::milliseconds limit = BOOTSTRAP_RETRY_LIMIT;
};

// The launchd job file; SERVICE_LABEL and the installed executable path fill
// its two places.
inline constexpr std::string_view LAUNCHD_PLIST_TEMPLATE =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "  <key>Label</key><string>{}</string>\n"
    "  <key>ProgramArguments</key><array><string>{}</string><string>run</string></array>\n"
    "  <key>RunAtLoad</key><true/>\n"
    "  <key>KeepAlive</key><true/>\n"
    "  <key>StandardErrorPath</key><string>/var/log/tavi-helper.log</string>\n"
    "</dict>\n"
    "</plist>\n";

// Copies the running executable into place, writes the job file and loads
// the job; prints "tavi-helper terpasang di {}" on success.
Result<void> install_helper(const Layout& layout);
// The same with the running executable's path given, as the system reports it.
Result<void> install_helper(const Layout& layout, const std::string& running_executable,
                            BootstrapRetry retry = {});

// Unloads the job and removes the job file, the managed hosts-file block, the
// pool's loopback aliases and the installed executable; every failure on the
// way is ignored. Prints its line at the end.
void uninstall_helper(const Layout& layout);

// Unloads the job; the outcome is dropped.
void bootout_service(const Layout& layout);
void bootout_service();

// Runs launchctl with the arguments and waits for it; its standard error
// (trimmed) is in the message when it does not end with status 0.
Result<void> run_launchctl(const Layout& layout, const std::vector<std::string>& args);
Result<void> run_launchctl(const std::vector<std::string>& args);

// Loads the job from its job file. launchd removes a booted-out job after the
// bootout has returned, and refuses a bootstrap meanwhile ("Bootstrap failed:
// 5: Input/output error"), so a failed bootstrap is tried again every
// `retry.interval` until `retry.limit` has passed; the last failure is given.
Result<void> bootstrap_service(const Layout& layout, BootstrapRetry retry);

}  // namespace tavi
