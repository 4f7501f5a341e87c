// `tavi-helper update` with more than 1,100 descriptors open, as a daemon
// holding a few hundred forwarded connections has: every socket the update
// makes is numbered past the 1,024 a default select() set can hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tavi/fd.hpp"
#include "update_harness.hpp"

namespace tavi::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int HELD = 1100;

// The soft descriptor limit raised for the test and put back afterwards.
class RaisedSoftLimit {
 public:
  explicit RaisedSoftLimit(rlim_t wanted) {
    ::getrlimit(RLIMIT_NOFILE, &before_);
    rlimit raised = before_;
    if (raised.rlim_cur < wanted) raised.rlim_cur = wanted;
    raised_ = raised.rlim_cur <= raised.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
  }
  ~RaisedSoftLimit() { ::setrlimit(RLIMIT_NOFILE, &before_); }
  RaisedSoftLimit(const RaisedSoftLimit&) = delete;
  RaisedSoftLimit& operator=(const RaisedSoftLimit&) = delete;
  bool raised() const { return raised_; }

 private:
  rlimit before_{};
  bool raised_ = false;
};

// The number the next descriptor would get: the lowest free one.
int lowest_free_descriptor() {
  const Fd probe(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  return probe.get();
}

TEST(UpdateWithManyDescriptors, ANewerReleaseIsFetchedWhenEverySocketIsNumberedPast1100) {
  const RaisedSoftLimit limit(HELD + 256);
  if (!limit.raised()) GTEST_SKIP() << "the descriptor limit cannot be raised past " << HELD;

  ScratchDir scratch;
  ReleaseServer server;
  const std::string executable = scratch.file("bin/id.tavi.helper");
  fs::create_directory(scratch.file("bin"));
  fs::copy_file(testkey_helper_binary(), executable);
  const std::string new_build = "#!/bin/sh\necho 'a newer helper'\n";
  server.release("v0.4.0", new_build);

  // Held open without close-on-exec, so the helper starts with every number
  // from 3 to past HELD taken: each socket it opens gets a higher one (it
  // closes none it inherits).
  std::vector<Fd> held;
  while (lowest_free_descriptor() <= HELD) {
    Fd fd(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(fd) << "descriptor " << held.size();
    held.push_back(std::move(fd));
  }
  ASSERT_GT(lowest_free_descriptor(), HELD);

  const RunOutcome r = run_program(executable, {"update"}, update_environment(scratch, server));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "tavi-helper diperbarui ke v0.4.0: " + executable + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(executable), new_build);
  std::vector<std::string> targets;
  for (const auto& request : server.requests()) targets.push_back(request.target);
  EXPECT_EQ(targets,
            (std::vector<std::string>{"/latest.json", "/latest.json.sig", "/assets/helper"}));
}

}  // namespace
}  // namespace tavi::e2e
