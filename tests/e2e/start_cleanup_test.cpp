// What a daemon killed in the middle of saving its configuration leaves
// behind is gone once the next one has started.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "harness.hpp"

namespace tavi::e2e {
namespace {

namespace fs = std::filesystem;

const std::string PONG = "{\"Pong\":{\"version\":\"0.3.0\"}}\n";

// Above the system's largest pid, so that no process has it.
std::string pid_without_process() {
  long max = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> max;
  return std::to_string(max > 0 && max < INT_MAX ? max + 1 : INT_MAX);
}

class StartCleanup : public ::testing::Test, protected DaemonScratch {};

TEST_F(StartCleanup, TemporaryConfigurationFilesOfADeadWriterAreRemovedAtStart) {
  const std::string config = R"({"domain":"lan","servers":[]})";
  write_file(dir_.file("config.json"), config);
  const std::string dead = pid_without_process();
  const std::string leftover = ".config.json.tmp-" + dead + "-3";
  write_file(dir_.file(leftover), "{\"domain\":\"l");
  const std::set<std::string> kept = {
      "config.json",
      ".config.json.tmp-" + std::to_string(getpid()) + "-0",  // its writer lives
      ".config.json.tmp-0" + dead + "-3",
      ".config.json.tmp-" + dead + "-3.old",
      ".hosts.tmp-" + dead + "-3",
  };
  for (const auto& name : kept) {
    if (name != "config.json") write_file(dir_.file(name), "other");
  }

  RunningProgram daemon(helper_binary(), {"run"}, environment("127.141.21.2"));
  // The control port opens after the clean-up.
  ASSERT_TRUE(eventually([&] { return ping() == PONG; })) << daemon.stderr_so_far();
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    names.insert(entry.path().filename());
  }
  EXPECT_EQ(names, kept);
  EXPECT_EQ(read_file(dir_.file("config.json")), config);
  EXPECT_EQ(daemon.stderr_so_far(), "");
}

}  // namespace
}  // namespace tavi::e2e
