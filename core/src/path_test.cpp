#include "tavi/path.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

TEST(ReplaceExtension, FinalNameRules) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/etc/hosts", "/etc/hosts.tavi-tmp"},
      {"hosts", "hosts.tavi-tmp"},
      {"hosts.txt", "hosts.tavi-tmp"},
      {"/a/hosts.old.txt", "/a/hosts.old.tavi-tmp"},
      {"hosts.", "hosts.tavi-tmp"},
      {".hosts", ".hosts.tavi-tmp"},
      {"/etc/.hosts", "/etc/.hosts.tavi-tmp"},
      {"..hosts", "..tavi-tmp"},
      {"/etc.d/hosts", "/etc.d/hosts.tavi-tmp"},
      {" hosts ", " hosts .tavi-tmp"},
      {"/etc/hosts/", "/etc/hosts.tavi-tmp"},
      {"/etc/hosts/.", "/etc/hosts.tavi-tmp"},
      {"/etc/hosts//./", "/etc/hosts.tavi-tmp"},
      {"/id.tavi.helper", "/id.tavi.tavi-tmp"},
      // No final name: unchanged.
      {"", ""},
      {"/", "/"},
      {"//", "//"},
      {".", "."},
      {"./", "./"},
      {"..", ".."},
      {"/etc/..", "/etc/.."},
      {"/etc/../", "/etc/../"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(replace_extension(c.path, "tavi-tmp"), c.expected) << "path \"" << c.path << "\"";
  }
}

}  // namespace
}  // namespace tavi
