// The update scheduler, run alone by tavi-scheduler-probe (built with the test
// key) on a scratch installed path, since it ends its process after an install.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "update_harness.hpp"

namespace tavi::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string NEW_BUILD = "a newer helper build";
const std::string OLD_BUILD = "the installed helper";
constexpr int SCHEDULER_RETURNED = 3;  // the probe's status when the thread ends

class UpdateScheduler : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(scratch.file("installed"));
    write_file(installed, OLD_BUILD);
  }

  // Starts the scheduler with `messages` Update messages queued; "release"
  // drops the last sender once they are queued.
  std::unique_ptr<RunningProgram> start(const std::string& running, std::chrono::milliseconds first,
                                        std::chrono::milliseconds interval, int messages,
                                        bool release) {
    return std::make_unique<RunningProgram>(
        scheduler_probe_binary(),
        std::vector<std::string>{installed, running, std::to_string(first.count()),
                                 std::to_string(interval.count()), std::to_string(messages),
                                 release ? "release" : "keep"},
        update_environment(scratch, server));
  }

  ScratchDir scratch;
  ReleaseServer server;
  std::string installed = scratch.file("installed/id.tavi.helper");
};

TEST_F(UpdateScheduler, AnUpdateMessageRunsAtOnceAndAnInstallEndsTheProcessWith0) {
  server.release("0.4.0", NEW_BUILD);
  // The first automatic run would come a minute later; the message comes first.
  auto probe = start(installed, 60s, 60s, 1, false);
  EXPECT_EQ(probe->wait_exit(20s), 0);
  EXPECT_EQ(probe->stderr_so_far(), "tavi-helper: diperbarui ke 0.4.0, memulai ulang\n");
  EXPECT_EQ(read_file(installed), NEW_BUILD);
  struct stat st {};
  ASSERT_EQ(::stat(installed.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(UpdateScheduler, AStartThroughALinkToTheInstalledFileCountsAsInstalled) {
  server.release("0.4.0", NEW_BUILD);
  const std::string link = scratch.file("link-to-helper");
  fs::create_symlink(installed, link);
  auto probe = start(link, 60s, 60s, 1, false);
  EXPECT_EQ(probe->wait_exit(20s), 0);
  EXPECT_EQ(read_file(installed), NEW_BUILD) << "the canonical path is the one replaced";
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(UpdateScheduler, ACopyThatIsNotInstalledNeverChecks) {
  server.release("0.4.0", NEW_BUILD);
  const std::string copy = scratch.file("copy-of-helper");
  write_file(copy, OLD_BUILD);
  for (const auto& [running, installed_exists] :
       {std::pair{copy, true}, std::pair{scratch.file("missing"), true},
        std::pair{installed, false}}) {
    if (!installed_exists) fs::remove(installed);
    auto probe = start(running, 0ms, 0ms, 2, false);
    EXPECT_EQ(probe->wait_exit(10s), SCHEDULER_RETURNED);
    EXPECT_EQ(probe->stderr_so_far(), "");
  }
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(read_file(copy), OLD_BUILD);
}

TEST_F(UpdateScheduler, EveryMessageIsOneRunAndEachFailureIsLogged) {
  // No release published: every run fails on the manifest.
  auto probe = start(installed, 60s, 60s, 2, true);
  EXPECT_EQ(probe->wait_exit(20s), SCHEDULER_RETURNED) << "the last sender is gone";
  const std::string line =
      "tavi-helper: pembaruan gagal: Tidak bisa menghubungi server pembaruan: http status: 404\n";
  EXPECT_EQ(probe->stderr_so_far(), line + line);
  EXPECT_EQ(server.count("/latest.json"), 2u);
  EXPECT_EQ(read_file(installed), OLD_BUILD);
}

TEST_F(UpdateScheduler, WithoutMessagesTheFirstRunWaitsForTheFirstDelayThenTheInterval) {
  server.publish(manifest_json("0.3.0", {}));
  auto probe = start(installed, 1500ms, 60s, 0, false);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.count("/latest.json"), 0u) << "no run before the first delay";
  std::this_thread::sleep_for(3500ms);
  EXPECT_EQ(server.count("/latest.json"), 1u) << "one run, and the next only after the interval";
  EXPECT_EQ(probe->stderr_so_far(), "") << "a release that is not newer logs nothing";
  EXPECT_EQ(probe->wait_exit(10ms), -2) << "the scheduler keeps waiting";
}

TEST_F(UpdateScheduler, AfterARunAskedForTheIntervalCountsFromTheEndOfThatRun) {
  // Each run takes at least a second (the manifest's head is late); the
  // message asks for a run at once, long before the first delay is up.
  const std::string manifest = manifest_json("0.3.0", {});
  server.publish(manifest);
  server.serve("/latest.json", testing::HttpReply{.body = manifest, .head_delay = 1000ms});
  auto probe = start(installed, 2000ms, 4000ms, 1, false);

  std::vector<std::chrono::steady_clock::time_point> runs;
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  while (runs.size() < 2 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(50ms);
    runs.clear();
    for (const auto& request : server.requests()) {
      if (request.target == "/latest.json") runs.push_back(request.at);
    }
  }
  ASSERT_EQ(runs.size(), 2u);
  // Not the first delay after start-up, nor the interval after the run began:
  // the run's second at least, then the whole interval.
  EXPECT_GE(runs[1] - runs[0], 4800ms);
  EXPECT_EQ(probe->stderr_so_far(), "");
  EXPECT_EQ(probe->wait_exit(10ms), -2) << "the scheduler keeps waiting";
}

}  // namespace
}  // namespace tavi::e2e
