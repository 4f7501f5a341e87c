#include "tavi/path.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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

TEST(SamePath, ComparesComponentByComponent) {
  struct Case {
    std::string a;
    std::string b;
    bool same;
  };
  const std::string installed = "/Library/PrivilegedHelperTools/id.tavi.helper";
  const std::vector<Case> cases = {
      {installed, installed, true},
      {installed, "/Library//PrivilegedHelperTools/id.tavi.helper", true},
      {installed, "//Library/PrivilegedHelperTools///id.tavi.helper", true},
      {installed, "/Library/PrivilegedHelperTools/id.tavi.helper/", true},
      {installed, "/Library/./PrivilegedHelperTools/./id.tavi.helper/.", true},
      {installed, "/./Library/PrivilegedHelperTools/id.tavi.helper", true},
      // Letter case counts and nothing is resolved.
      {installed, "/library/PrivilegedHelperTools/id.tavi.helper", false},
      {installed, "/Library/PrivilegedHelperTools/../PrivilegedHelperTools/id.tavi.helper", false},
      {installed, "Library/PrivilegedHelperTools/id.tavi.helper", false},
      {installed, "/Library/PrivilegedHelperTools/id.tavi.new", false},
      {installed, "/Library/PrivilegedHelperTools", false},
      // A "." at the very start of a relative path is a component of its own.
      {"./bin/tool", "bin/tool", false},
      {"./bin/tool", "././bin//tool", true},
      {"bin/./tool", "bin/tool", true},
      {".", "./", true},
      {".", "", false},
      {"a/..", "a/../", true},
      {"a/..", "a", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " ~ " + c.b);
    EXPECT_EQ(same_path(c.a, c.b), c.same);
    EXPECT_EQ(same_path(c.b, c.a), c.same);
  }
}

TEST(ContainingFolder, IsThePathWithoutItsLastComponent) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"/Library/PrivilegedHelperTools/id.tavi.helper", "/Library/PrivilegedHelperTools"},
      {"/id.tavi.helper", "/"},
      {"a//b//", "a"},
      {"//a", "/"},
      {"name", std::nullopt},
      {"", std::nullopt},
      {"/", std::nullopt},
  };
  for (const auto& [path, folder] : cases) {
    EXPECT_EQ(containing_folder(path), folder) << "path \"" << path << "\"";
  }
}

}  // namespace
}  // namespace tavi
