#include "install.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "scratch.hpp"
#include "tavi/os_error.hpp"

namespace tavi {
namespace {

namespace fs = std::filesystem;

using test::read_file;

void write_file_with_mode(const std::string& path, const std::string& bytes, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

struct stat status_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status;
}

// A scratch layout whose programs are shell scripts: each appends its name
// and arguments as one line to calls.log, writes bin/<name>.stderr (when
// present) on its standard error and exits with the status in
// bin/<name>.status (0 when absent).
class ScratchLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    fs::create_directory(dir_ + "/bin");
    fs::create_directory(dir_ + "/LaunchDaemons");
    layout_.installed_executable = dir_ + "/PrivilegedHelperTools/id.tavi.helper";
    layout_.job_file = dir_ + "/LaunchDaemons/id.tavi.helper.plist";
    layout_.launchctl = fake_program("launchctl");
    layout_.ifconfig = fake_program("ifconfig");
    layout_.dscacheutil = fake_program("dscacheutil");
    layout_.killall = fake_program("killall");
  }

  std::string fake_program(const std::string& name) {
    const std::string path = dir_ + "/bin/" + name;
    test::write_recording_program(path, name, dir_ + "/calls.log");
    return path;
  }
  void program_answers(const std::string& name, int status, const std::string& err) {
    test::set_program_answer(dir_ + "/bin/" + name, status, err);
  }
  std::string calls() const { return read_file(dir_ + "/calls.log"); }

  // Runs `action` with standard output going to a file; gives what it printed.
  std::string capture_stdout(const std::function<void()>& action) {
    std::fflush(stdout);
    const std::string path = dir_ + "/stdout";
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(file, STDOUT_FILENO);
    action();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(file);
    return read_file(path);
  }

  // A stand-in for the running executable with recognisable bytes.
  std::string built_executable() {
    fs::create_directory(dir_ + "/build");
    const std::string path = dir_ + "/build/tavi-helper";
    std::string bytes = "#!/bin/sh\nexit 0\n";
    for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>(i % 253));
    write_file_with_mode(path, bytes, 0600);
    return path;
  }

  std::string temporary() const { return dir_ + "/PrivilegedHelperTools/id.tavi.new"; }
  std::string bootout_line() const { return "launchctl bootout system/id.tavi.helper\n"; }
  std::string bootstrap_line() const {
    return "launchctl bootstrap system " + layout_.job_file + "\n";
  }
  std::string expected_job_file() const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n"
           "<dict>\n"
           "  <key>Label</key><string>id.tavi.helper</string>\n"
           "  <key>ProgramArguments</key><array><string>" +
           layout_.installed_executable +
           "</string><string>run</string></array>\n"
           "  <key>RunAtLoad</key><true/>\n"
           "  <key>KeepAlive</key><true/>\n"
           "  <key>StandardErrorPath</key><string>/var/log/tavi-helper.log</string>\n"
           "</dict>\n"
           "</plist>\n";
  }

  void expect_job_file_and_bootstrap_call() const {
    EXPECT_EQ(read_file(layout_.job_file), expected_job_file());
    EXPECT_EQ(calls(), bootout_line() + bootstrap_line());
  }

  test::ScratchDir scratch_;
  std::string dir_;
  Layout layout_;
};

using Install = ScratchLayout;

TEST_F(Install, CopiesTheExecutableWritesTheJobFileAndLoadsTheJob) {
  const std::string source = built_executable();
  Result<void> outcome;
  const std::string out = capture_stdout([&] { outcome = install_helper(layout_, source); });

  ASSERT_EQ(outcome, Result<void>());
  EXPECT_EQ(out, "tavi-helper terpasang di " + layout_.installed_executable + "\n");
  EXPECT_EQ(read_file(layout_.installed_executable), read_file(source));
  EXPECT_EQ(status_of(layout_.installed_executable).st_mode & 07777, 0755u);
  EXPECT_FALSE(fs::exists(temporary()));
  expect_job_file_and_bootstrap_call();
}

TEST_F(Install, ReplacesAnEarlierInstallationALeftoverCopyAndTheJobFile) {
  fs::create_directory(dir_ + "/PrivilegedHelperTools");
  write_file_with_mode(layout_.installed_executable, "old executable", 0700);
  write_file_with_mode(temporary(), std::string(20000, 'x'), 0600);
  write_file_with_mode(layout_.job_file, std::string(5000, 'j'), 0644);
  const std::string source = built_executable();

  capture_stdout([&] { ASSERT_EQ(install_helper(layout_, source), Result<void>()); });
  EXPECT_EQ(read_file(layout_.installed_executable), read_file(source));
  EXPECT_EQ(status_of(layout_.installed_executable).st_mode & 07777, 0755u);
  EXPECT_FALSE(fs::exists(temporary()));
  EXPECT_EQ(read_file(layout_.job_file), expected_job_file());
}

// launchd runs the installed file as root: whoever may write it owns the
// machine. A user's source file, or a file of theirs left or linked at the
// temporary path, must not give them the copy.
TEST_F(Install, TheInstalledFileBelongsToTheInstallingUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  constexpr uid_t SOMEONE = 4242;
  const std::string folder = dir_ + "/PrivilegedHelperTools";
  const std::string theirs = dir_ + "/theirs";
  enum class Leftover { None, TheirFile, HardLinkToTheirs, SymlinkToTheirs };
  for (const Leftover leftover : {Leftover::None, Leftover::TheirFile, Leftover::HardLinkToTheirs,
                                  Leftover::SymlinkToTheirs}) {
    SCOPED_TRACE(static_cast<int>(leftover));
    fs::remove_all(folder);
    fs::create_directory(folder);
    const std::string source = built_executable();
    ASSERT_EQ(::chown(source.c_str(), SOMEONE, SOMEONE), 0);
    write_file_with_mode(theirs, "their own file", 0644);
    ASSERT_EQ(::chown(theirs.c_str(), SOMEONE, SOMEONE), 0);
    switch (leftover) {
      case Leftover::None:
        break;
      case Leftover::TheirFile:
        write_file_with_mode(temporary(), std::string(20000, 'x'), 0666);
        ASSERT_EQ(::chown(temporary().c_str(), SOMEONE, SOMEONE), 0);
        break;
      case Leftover::HardLinkToTheirs:
        ASSERT_EQ(::link(theirs.c_str(), temporary().c_str()), 0);
        break;
      case Leftover::SymlinkToTheirs:
        ASSERT_EQ(::symlink(theirs.c_str(), temporary().c_str()), 0);
        break;
    }

    capture_stdout([&] { ASSERT_EQ(install_helper(layout_, source), Result<void>()); });
    struct stat installed {};
    ASSERT_EQ(::lstat(layout_.installed_executable.c_str(), &installed), 0);
    EXPECT_TRUE(S_ISREG(installed.st_mode));
    EXPECT_EQ(installed.st_uid, ::geteuid());
    EXPECT_EQ(installed.st_gid, ::getegid());
    EXPECT_EQ(installed.st_mode & 07777, 0755u);
    EXPECT_EQ(installed.st_nlink, 1u);
    EXPECT_EQ(read_file(layout_.installed_executable), read_file(source));
    // Their file is neither written nor given another mode.
    EXPECT_EQ(read_file(theirs), "their own file");
    EXPECT_EQ(status_of(theirs).st_mode & 07777, 0644u);
    EXPECT_EQ(status_of(theirs).st_uid, SOMEONE);
  }
}

TEST_F(Install, TheRunningExecutableIsWhatGetsInstalled) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(n, 0);
  capture_stdout([&] { ASSERT_EQ(install_helper(layout_), Result<void>()); });
  EXPECT_TRUE(read_file(layout_.installed_executable) == read_file(std::string(self, n)));
  EXPECT_EQ(calls(), bootout_line() + bootstrap_line());
}

TEST_F(Install, FromTheInstalledPathItselfNothingIsCopied) {
  const std::string folder = dir_ + "/PrivilegedHelperTools";
  fs::create_directory(folder);
  for (const std::string& spelling :
       {layout_.installed_executable, folder + "//id.tavi.helper", folder + "/./id.tavi.helper",
        dir_ + "/./PrivilegedHelperTools/id.tavi.helper/"}) {
    SCOPED_TRACE(spelling);
    write_file_with_mode(layout_.installed_executable, "installed bytes", 0700);
    const ino_t inode = status_of(layout_.installed_executable).st_ino;
    fs::remove(layout_.job_file);
    fs::remove(dir_ + "/calls.log");

    capture_stdout([&] { ASSERT_EQ(install_helper(layout_, spelling), Result<void>()); });
    // No copy, no mode change, no rename.
    EXPECT_EQ(status_of(layout_.installed_executable).st_ino, inode);
    EXPECT_EQ(status_of(layout_.installed_executable).st_mode & 07777, 0700u);
    EXPECT_EQ(read_file(layout_.installed_executable), "installed bytes");
    EXPECT_FALSE(fs::exists(temporary()));
    expect_job_file_and_bootstrap_call();
  }
}

TEST_F(Install, ThroughASymbolicLinkTheInstalledFileIsCopiedOntoItself) {
  fs::create_directory(dir_ + "/PrivilegedHelperTools");
  write_file_with_mode(layout_.installed_executable, "installed bytes", 0700);
  const ino_t inode = status_of(layout_.installed_executable).st_ino;
  fs::create_directory_symlink(dir_ + "/PrivilegedHelperTools", dir_ + "/link");

  capture_stdout(
      [&] { ASSERT_EQ(install_helper(layout_, dir_ + "/link/id.tavi.helper"), Result<void>()); });
  EXPECT_NE(status_of(layout_.installed_executable).st_ino, inode);
  EXPECT_EQ(status_of(layout_.installed_executable).st_mode & 07777, 0755u);
  EXPECT_EQ(read_file(layout_.installed_executable), "installed bytes");
}

TEST_F(Install, StartedFromTheTemporaryPathItMovesThatFileIntoPlace) {
  fs::create_directory(dir_ + "/PrivilegedHelperTools");
  write_file_with_mode(temporary(), "new bytes", 0700);
  capture_stdout([&] { ASSERT_EQ(install_helper(layout_, temporary()), Result<void>()); });
  EXPECT_EQ(read_file(layout_.installed_executable), "new bytes");
  EXPECT_EQ(status_of(layout_.installed_executable).st_mode & 07777, 0755u);
}

TEST_F(Install, FailuresCarryTheirStepsMessages) {
  struct Case {
    std::string name;
    std::function<std::string()> arrange;  // gives the running executable's path
    std::function<std::string()> message;
  };
  const std::string not_regular =
      "Gagal menyalin helper: the source path is neither a regular file nor a symlink to a "
      "regular file";
  const std::vector<Case> cases = {
      {"folder cannot be created",
       [&] {
         std::ofstream(dir_ + "/file") << "x";
         layout_.installed_executable = dir_ + "/file/PrivilegedHelperTools/id.tavi.helper";
         return built_executable();
       },
       [&] { return os_error_text(EEXIST); }},
      {"source is a folder", [&] { return dir_ + "/bin"; }, [&] { return not_regular; }},
      {"source is /dev/null", [&] { return std::string("/dev/null"); },
       [&] { return not_regular; }},
      {"source is missing", [&] { return dir_ + "/missing"; },
       [&] { return "Gagal menyalin helper: " + os_error_text(ENOENT); }},
      {"rename onto a non-empty folder",
       [&] {
         fs::create_directories(layout_.installed_executable + "/inside");
         return built_executable();
       },
       [&] { return "Gagal memasang helper: " + os_error_text(EISDIR); }},
      {"job file folder missing",
       [&] {
         fs::remove_all(dir_ + "/LaunchDaemons");
         return built_executable();
       },
       [&] { return "Gagal menulis plist: " + os_error_text(ENOENT); }},
  };
  const Layout original = layout_;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    layout_ = original;
    fs::remove_all(dir_ + "/PrivilegedHelperTools");
    fs::create_directories(dir_ + "/LaunchDaemons");
    fs::remove(dir_ + "/calls.log");
    const std::string running = c.arrange();

    Result<void> outcome;
    const std::string out = capture_stdout([&] { outcome = install_helper(layout_, running); });
    EXPECT_EQ(outcome, Result<void>(fail(c.message())));
    EXPECT_EQ(out, "");
    // The job is unloaded first, and never loaded after a failure.
    EXPECT_EQ(calls(), bootout_line());
  }
}

TEST_F(Install, AJobFileFolderThatIsMissingLeavesTheNewExecutableInstalled) {
  fs::remove_all(dir_ + "/LaunchDaemons");
  const std::string source = built_executable();
  capture_stdout([&] { EXPECT_FALSE(install_helper(layout_, source)); });
  EXPECT_EQ(read_file(layout_.installed_executable), read_file(source));
  EXPECT_FALSE(fs::exists(dir_ + "/LaunchDaemons"));
}

// Tried once: the retries have tests of their own below.
constexpr BootstrapRetry NO_RETRY{.interval = std::chrono::milliseconds(1),
                                  .limit = std::chrono::milliseconds(0)};

TEST_F(Install, ARefusedBootstrapGivesLaunchctlsTrimmedErrorOutput) {
  const std::string prefix = layout_.launchctl + " bootstrap system " + layout_.job_file + ": ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" \n Bootstrap failed: 5: Input/output error\n\n",
       "Bootstrap failed: 5: Input/output error"},
      {"", ""},
      {"bad \xff byte\n", "bad \xef\xbf\xbd byte"},
  };
  for (const auto& [err, shown] : cases) {
    SCOPED_TRACE(err);
    fs::remove(dir_ + "/bin/launchctl.stderr");
    fs::remove(dir_ + "/calls.log");
    program_answers("launchctl", 1, err);
    const std::string source = built_executable();
    Result<void> outcome;
    const std::string out =
        capture_stdout([&] { outcome = install_helper(layout_, source, NO_RETRY); });
    EXPECT_EQ(outcome, Result<void>(fail(prefix + shown)));
    EXPECT_EQ(out, "");
    // The executable and the job file are in place; only the job is not loaded.
    expect_job_file_and_bootstrap_call();
  }
}

// launchd drops a booted-out job only after the bootout has returned, and
// refuses a bootstrap until then. The stand-in refuses the first `refusals`
// bootstraps, each with the number of its try on standard error.
class BootstrapRefusals : public ScratchLayout {
 protected:
  void refuse_bootstraps(int refusals) {
    write_file_with_mode(layout_.launchctl,
                         "#!/bin/sh\n"
                         "echo \"launchctl $*\" >> '" +
                             dir_ +
                             "/calls.log'\n"
                             "[ \"$1\" = bootstrap ] || exit 0\n"
                             "n=$(( $(cat '" +
                             dir_ +
                             "/tries' 2>/dev/null || echo 0) + 1 ))\n"
                             "echo $n > '" +
                             dir_ +
                             "/tries'\n"
                             "[ $n -gt " +
                             std::to_string(refusals) +
                             " ] && exit 0\n"
                             "echo \"Bootstrap failed: 5: Input/output error (try $n)\" >&2\n"
                             "exit 5\n",
                         0755);
  }
  int bootstrap_calls() const {
    std::istringstream lines(calls());
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line + "\n" == bootstrap_line();
    return count;
  }
};

TEST_F(BootstrapRefusals, ARefusedBootstrapIsTriedAgainUntilLaunchdTakesIt) {
  refuse_bootstraps(3);
  const std::string source = built_executable();
  Result<void> outcome;
  const std::string out = capture_stdout([&] {
    outcome = install_helper(
        layout_, source,
        {.interval = std::chrono::milliseconds(1), .limit = std::chrono::minutes(5)});
  });
  ASSERT_EQ(outcome, Result<void>());
  EXPECT_EQ(out, "tavi-helper terpasang di " + layout_.installed_executable + "\n");
  EXPECT_EQ(calls(), bootout_line() + bootstrap_line() + bootstrap_line() + bootstrap_line() +
                         bootstrap_line());
  EXPECT_EQ(read_file(layout_.job_file), expected_job_file());
}

TEST_F(BootstrapRefusals, ABootstrapRefusedToTheEndGivesTheLastRefusal) {
  refuse_bootstraps(1000000);
  const BootstrapRetry retry{.interval = std::chrono::milliseconds(50),
                             .limit = std::chrono::seconds(2)};
  const std::string source = built_executable();
  Result<void> outcome;
  const std::string out = capture_stdout([&] { outcome = install_helper(layout_, source, retry); });

  const int tries = bootstrap_calls();
  EXPECT_EQ(outcome, Result<void>(fail(layout_.launchctl + " bootstrap system " + layout_.job_file +
                                       ": Bootstrap failed: 5: Input/output error (try " +
                                       std::to_string(tries) + ")")));
  EXPECT_EQ(out, "");
  // Tried again, and never more often than every interval within the limit.
  EXPECT_GE(tries, 2);
  EXPECT_LE(tries, 1 + retry.limit / retry.interval);
  std::string expected_calls = bootout_line();
  for (int i = 0; i < tries; ++i) expected_calls += bootstrap_line();
  EXPECT_EQ(calls(), expected_calls);
  // The executable and the job file stay in place for the next try.
  EXPECT_EQ(read_file(layout_.installed_executable), read_file(source));
  EXPECT_EQ(read_file(layout_.job_file), expected_job_file());
}

TEST_F(Install, RunLaunchctlPassesArgumentsAsTheyAreAndReportsHowItEnded) {
  program_answers("launchctl", 0, "noise on standard error\n");
  EXPECT_EQ(run_launchctl(layout_, {"print", "a b", ""}), Result<void>());
  EXPECT_EQ(calls(), "launchctl print a b \n");

  program_answers("launchctl", 113, "Could not find service\n");
  EXPECT_EQ(run_launchctl(layout_, {"bootout", "system/id.tavi.helper"}),
            Result<void>(fail(layout_.launchctl +
                              " bootout system/id.tavi.helper: Could not find service")));

  write_file_with_mode(layout_.launchctl, "#!/bin/sh\necho dying >&2\nkill -9 $$\n", 0755);
  EXPECT_EQ(run_launchctl(layout_, {"list"}),
            Result<void>(fail(layout_.launchctl + " list: dying")));

  layout_.launchctl = dir_ + "/bin/missing";
  EXPECT_EQ(run_launchctl(layout_, {"list"}),
            Result<void>(fail(layout_.launchctl + ": " + os_error_text(ENOENT))));
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Uninstall always runs against a scratch hosts file, never the system's.
class Uninstall : public ScratchLayout {
 protected:
  void SetUp() override {
    ScratchLayout::SetUp();
    hosts_ = dir_ + "/hosts";
    hosts_env_.emplace("TAVI_HOSTS_FILE", hosts_.c_str());
  }

  std::string run_uninstall() {
    return capture_stdout([&] { uninstall_helper(layout_); });
  }
  static std::string alias_lines(int first, int last) {
    std::string lines;
    for (int octet = first; octet <= last; ++octet) {
      lines += "ifconfig lo0 -alias 127.77.0." + std::to_string(octet) + "\n";
    }
    return lines;
  }

  const std::string line_ = "tavi-helper dihapus, file hosts sudah dibersihkan.\n";
  std::string hosts_;
  std::optional<ScopedEnv> hosts_env_;
};

TEST_F(Uninstall, WhenNothingIsInstalledItStillSucceedsAndTriesTheWholeDefaultPool) {
  ScopedEnv pool("TAVI_LOOPBACK", nullptr);
  program_answers("launchctl", 113, "Could not find service\n");
  program_answers("ifconfig", 1, "ifconfig: error\n");

  EXPECT_EQ(run_uninstall(), line_);
  // 64 addresses: pool indexes 0 to 63.
  EXPECT_EQ(calls(), bootout_line() + alias_lines(2, 65));
  EXPECT_FALSE(fs::exists(hosts_));
}

TEST_F(Uninstall, RemovesTheJobFileAndTheInstalledExecutable) {
  ScopedEnv pool("TAVI_LOOPBACK", "127.77.0.254");
  const std::string source = built_executable();
  capture_stdout([&] { ASSERT_EQ(install_helper(layout_, source), Result<void>()); });
  fs::remove(dir_ + "/calls.log");

  EXPECT_EQ(run_uninstall(), line_);
  EXPECT_FALSE(fs::exists(layout_.job_file));
  EXPECT_FALSE(fs::exists(layout_.installed_executable));
  EXPECT_TRUE(fs::exists(source));
  EXPECT_EQ(calls(), bootout_line() + alias_lines(254, 254));
}

TEST_F(Uninstall, RemovesTheUpdateLockFileButNotTheStagedFiles) {
  ScopedEnv pool("TAVI_LOOPBACK", "127.77.0.254");
  capture_stdout([&] { ASSERT_EQ(install_helper(layout_, built_executable()), Result<void>()); });
  const std::string folder = dir_ + "/PrivilegedHelperTools";
  for (const char* name : {"id.tavi.lock", "id.tavi.part", "id.tavi.download"}) {
    std::ofstream(folder + "/" + name) << name;
  }

  EXPECT_EQ(run_uninstall(), line_);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"id.tavi.download", "id.tavi.part"}));
}

TEST_F(Uninstall, NearTheEndOfThePoolOnlyTheRemainingAddressesAreTried) {
  ScopedEnv pool("TAVI_LOOPBACK", "127.77.0.250");
  EXPECT_EQ(run_uninstall(), line_);
  EXPECT_EQ(calls(), bootout_line() + alias_lines(250, 254));

  // A pool without any address: no ifconfig at all.
  fs::remove(dir_ + "/calls.log");
  ScopedEnv empty_pool("TAVI_LOOPBACK", "127.77.0.255");
  EXPECT_EQ(run_uninstall(), line_);
  EXPECT_EQ(calls(), bootout_line());
}

TEST_F(Uninstall, RemovesTheHostsBlockAndFlushesOnlyAfterAChange) {
  ScopedEnv pool("TAVI_LOOPBACK", "127.77.0.254");
  std::ofstream(hosts_, std::ios::binary)
      << "127.0.0.1 localhost\n\n"
         "# BEGIN tavi (dikelola otomatis oleh tavi, jangan diedit)\n"
         "127.77.0.2\tnas.home.arpa\n"
         "# END tavi\n";
  const std::string flush_lines = "dscacheutil -flushcache\nkillall -HUP mDNSResponder\n";

  EXPECT_EQ(run_uninstall(), line_);
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n");
  EXPECT_EQ(calls(), bootout_line() + flush_lines + alias_lines(254, 254));

  // Nothing left to remove: the caches are not flushed again.
  fs::remove(dir_ + "/calls.log");
  EXPECT_EQ(run_uninstall(), line_);
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n");
  EXPECT_EQ(calls(), bootout_line() + alias_lines(254, 254));
}

TEST_F(Uninstall, AHostsFileThatCannotBeRewrittenIsPassedOver) {
  ScopedEnv pool("TAVI_LOOPBACK", "127.77.0.254");
  fs::create_directory(hosts_);  // cannot be read as a file
  EXPECT_EQ(run_uninstall(), line_);
  EXPECT_EQ(calls(), bootout_line() + alias_lines(254, 254));
  EXPECT_TRUE(fs::is_directory(hosts_));
}

}  // namespace
}  // namespace tavi
