#include "tavi/update/staging.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace tavi {
namespace {

TEST(StagedPaths, StageBesideTheExecutable) {
  auto staged = staged_paths("/Library/PrivilegedHelperTools/id.tavi.helper");
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->download, "/Library/PrivilegedHelperTools/id.tavi.download");
  EXPECT_EQ(staged->part, "/Library/PrivilegedHelperTools/id.tavi.part");
  EXPECT_EQ(staged->lock, "/Library/PrivilegedHelperTools/id.tavi.lock");

  staged = staged_paths("bin/tavi-helper");
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->download, "bin/tavi-helper.download");
  EXPECT_EQ(staged->part, "bin/tavi-helper.part");
}

TEST(StagedPaths, RefusesPathsAStagedFileWouldOverwrite) {
  for (const std::string path : {"/opt/x.part", "/opt/x.download", "/opt/x.lock", "/opt/x.PART",
                                 "/opt/x.Download", "/opt/", "/opt/..", "/opt/.", "", "x.lock"}) {
    auto staged = staged_paths(path);
    ASSERT_FALSE(staged) << path;
    EXPECT_EQ(staged.error(), "Path helper tidak didukung untuk pembaruan: " + path);
  }
  EXPECT_EQ(staged_paths("/opt/\xff.part").error(),
            "Path helper tidak didukung untuk pembaruan: /opt/\xef\xbf\xbd.part");
  EXPECT_TRUE(staged_paths("/opt/.part"));  // a name that begins with '.' has no extension
  EXPECT_TRUE(staged_paths("/opt/x.parts"));
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

TEST_F(LockUpdate, OneHolderAtATime) {
  const std::string path = (dir / "id.tavi.lock").string();
  auto first = lock_update(path);
  ASSERT_TRUE(first);
  EXPECT_TRUE(*first);
  EXPECT_EQ(lock_update(path).error(), "Pembaruan lain sedang berjalan.");
  first->reset();
  auto again = lock_update(path);
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again);
}

TEST_F(LockUpdate, AMissingFolderIsAFileError) {
  auto locked = lock_update((dir / "missing" / "id.tavi.lock").string());
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error(), "Gagal membuat file: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tavi
