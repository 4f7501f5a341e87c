// The command line as a black box: exit status and the exact bytes written.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace tavi::e2e {
namespace {

const std::string USAGE_LINE = "tavi-helper: Pemakaian: tavi-helper run | install | uninstall\n";

TEST(CommandLine, VersionPrintsTheVersionAndIgnoresFurtherWords) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--version"}, {"--version", "x", "--help"}}) {
    RunOutcome r = run_program(helper_binary(), args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "0.3.0\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, UnknownWordsGiveTheUsageErrorLine) {
  const std::vector<std::vector<std::string>> cases = {
      {},          {""},         {"Run"},     {"RUN"},  {"--Version"}, {" run"},
      {"run "},    {"ru"},       {"-v"},      {"-h"},   {"--help"},    {"installx"},
      {"version"}, {"\xff\xfe"}, {"--version=1"},
  };
  for (const auto& args : cases) {
    RunOutcome r = run_program(helper_binary(), args);
    SCOPED_TRACE(args.empty() ? "<none>" : args[0]);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, USAGE_LINE);
  }
}

TEST(CommandLine, ClosedStandardDescriptorsDoNotBreakTheProgram) {
  // With descriptors 0 to 2 closed, the program still runs; its output goes
  // to /dev/null instead of to a descriptor it opens later.
  RunOutcome r = run_program("/bin/sh", {"-c", "\"$0\" --version <&- >&- 2>&-; echo $?", helper_binary()});
  EXPECT_EQ(r.out, "0\n");
}

}  // namespace
}  // namespace tavi::e2e
