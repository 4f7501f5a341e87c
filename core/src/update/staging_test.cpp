#include "tavi/update/staging.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <utility>

namespace tavi {
namespace {

TEST(StagedPaths, StageBesideTheExecutable) {
  auto staged = staged_paths("/Library/PrivilegedHelperTools/id.tavi.helper");
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->download, "/Library/PrivilegedHelperTools/id.tavi.download");
  EXPECT_EQ(staged->part, "/Library/PrivilegedHelperTools/id.tavi.part");
  EXPECT_EQ(staged->folder, "/Library/PrivilegedHelperTools");

  staged = staged_paths("bin/tavi-helper");
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->download, "bin/tavi-helper.download");
  EXPECT_EQ(staged->part, "bin/tavi-helper.part");
  EXPECT_EQ(staged->folder, "bin");

  staged = staged_paths("tavi-helper");
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->part, "tavi-helper.part");
  EXPECT_EQ(staged->folder, ".");
  EXPECT_EQ(staged_paths("/tavi-helper")->folder, "/");
}

TEST(StagedPaths, RefusesPathsAStagedFileWouldOverwrite) {
  for (const std::string path : {"/opt/x.part", "/opt/x.download", "/opt/x.PART", "/opt/x.Download",
                                 "/opt/", "/opt/..", "/opt/.", "", "x.part"}) {
    auto staged = staged_paths(path);
    ASSERT_FALSE(staged) << path;
    EXPECT_EQ(staged.error(), "Path helper tidak didukung untuk pembaruan: " + path);
  }
  EXPECT_EQ(staged_paths("/opt/\xff.part").error(),
            "Path helper tidak didukung untuk pembaruan: /opt/\xef\xbf\xbd.part");
  EXPECT_TRUE(staged_paths("/opt/.part"));  // a name that begins with '.' has no extension
  EXPECT_TRUE(staged_paths("/opt/x.parts"));
  EXPECT_TRUE(staged_paths("/opt/x.lock"));  // no staged file is named so
}

class LockUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("tavi-lock-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
};

TEST_F(LockUpdate, OneHolderAtATimeAndNoFileBehind) {
  const std::string folder = dir.string();
  auto first = lock_update(folder);
  ASSERT_TRUE(first);
  EXPECT_TRUE(*first);
  EXPECT_EQ(lock_update(folder).error(), "Pembaruan lain sedang berjalan.");
  // Another name of the same folder is the same lock.
  EXPECT_EQ(lock_update(folder + "/.").error(), "Pembaruan lain sedang berjalan.");
  first->reset();
  auto again = lock_update(folder);
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again);
  again->reset();
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(LockUpdate, AFolderThatCannotBeOpenedIsAFileError) {
  std::ofstream(dir / "file") << "not a folder";
  for (const auto& [folder, message] : {
           std::pair{dir / "missing", "Gagal membuat file: No such file or directory (os error 2)"},
           std::pair{dir / "file", "Gagal membuat file: Not a directory (os error 20)"},
       }) {
    auto locked = lock_update(folder.string());
    ASSERT_FALSE(locked) << folder;
    EXPECT_EQ(locked.error(), message);
  }
}

}  // namespace
}  // namespace tavi
