// The update scheduler, run alone by tavi-scheduler-probe (built with the test
// key) on a scratch installed path, since it ends its process after an install.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tavi/socket.hpp"
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

TEST_F(UpdateScheduler, AVersionTextWithALineFeedIsLoggedOnOneLine) {
  // Still newer: the piece after the line feed counts as 0.
  server.release("0.4.0\ntavi-helper: forged", NEW_BUILD);
  auto probe = start(installed, 60s, 60s, 1, false);
  EXPECT_EQ(probe->wait_exit(20s), 0);
  EXPECT_EQ(probe->stderr_so_far(),
            "tavi-helper: diperbarui ke 0.4.0\\ntavi-helper: forged, memulai ulang\n");
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

TEST_F(UpdateScheduler, MessagesQueuedTogetherGiveOneRunAndItsFailureIsLogged) {
  // No release published: the run fails on the manifest.
  auto probe = start(installed, 60s, 60s, 2, true);
  EXPECT_EQ(probe->wait_exit(20s), SCHEDULER_RETURNED) << "the last sender is gone";
  EXPECT_EQ(probe->stderr_so_far(),
            "tavi-helper: pembaruan gagal: Tidak bisa menghubungi server pembaruan: http status: "
            "404\n");
  EXPECT_EQ(server.count("/latest.json"), 1u);
  EXPECT_EQ(read_file(installed), OLD_BUILD);
}

// An update server on loopback that keeps the first request unanswered until
// the test lets it go, so the run that sent it stays busy; every later
// connection is closed at once. Each run's first request opens a connection
// of its own, so the connections count the runs.
class HeldUpdateServer {
 public:
  HeldUpdateServer() {
    auto bound = bind_listener(SocketAddress{Ipv4Address{{127, 0, 0, 1}}, 0});
    if (!bound) throw std::runtime_error(bound.error().text());
    listener_ = std::move(*bound);
    port_ = local_address(listener_.get())->port;
    thread_ = std::thread([this] {
      for (;;) {
        auto client = accept_connection(listener_.get());
        if (!client) return;
        if (++connections_ > 1) continue;  // closed as it goes out of scope
        std::unique_lock lock(mutex_);
        released_.wait(lock, [&] { return let_go_; });
      }
    });
  }
  ~HeldUpdateServer() {
    let_go();
    ::shutdown(listener_.get(), SHUT_RDWR);  // ends the blocked accept
    thread_.join();
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }
  // Closes the held connection: the busy run fails.
  void let_go() {
    {
      std::lock_guard lock(mutex_);
      let_go_ = true;
    }
    released_.notify_all();
  }

 private:
  Fd listener_;
  std::uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool let_go_ = false;
  std::thread thread_;
};

TEST_F(UpdateScheduler, TwoMessagesDuringABusyRunGiveExactlyOneMoreRun) {
  HeldUpdateServer held;
  const std::string fifo = scratch.file("messages");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ChildEnvironment env = update_environment(scratch, server);
  env.set["TAVI_UPDATE_URL"] = held.url();
  RunningProgram probe(scheduler_probe_binary(),
                       {installed, installed, "60000", "60000", "1", "release", fifo}, env);

  ASSERT_TRUE(eventually([&] { return held.connections() == 1; })) << "the first run is busy";
  Fd writer;
  ASSERT_TRUE(eventually([&] {
    writer = Fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    return static_cast<bool>(writer);
  }));
  ASSERT_EQ(::write(writer.get(), "uu", 2), 2);
  writer.reset();
  // Both are queued, and the last sender is gone, while the run still waits.
  ASSERT_TRUE(eventually([&] { return fs::exists(fifo + ".read"); }));
  EXPECT_EQ(held.connections(), 1);

  held.let_go();
  // The one further run, then the wait finds the channel closed; a second
  // further run would be seen as a third connection.
  EXPECT_EQ(probe.wait_exit(60s), SCHEDULER_RETURNED);
  EXPECT_EQ(held.connections(), 2);
  const std::string log = probe.stderr_so_far();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.starts_with("tavi-helper: pembaruan gagal: ")) << line;
  }
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
