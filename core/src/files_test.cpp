#include "tavi/files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavi {
namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "files_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(Files, WriteFileCreatesOrEmptiesAndRewrites) {
  const std::string path = dir_ + "/file";
  ASSERT_TRUE(write_file(path, std::string(5000, 'a')));
  ASSERT_TRUE(write_file(path, "short"));
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  EXPECT_EQ(bytes.str(), "short");

  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u & ~mask);

  EXPECT_EQ(write_file(dir_ + "/missing/file", "x"),
            OsResult<void>(std::unexpected(OsError{ENOENT})));
}

TEST_F(Files, CreateFoldersMakesMissingParentsAndAcceptsExistingOnes) {
  const std::string deep = dir_ + "/a/b/c";
  ASSERT_TRUE(create_folders(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(create_folders(deep));
  EXPECT_TRUE(create_folders(dir_ + "/a//b/"));
  EXPECT_TRUE(create_folders(""));

  std::ofstream(dir_ + "/file") << "x";
  EXPECT_EQ(create_folders(dir_ + "/file"), OsResult<void>(std::unexpected(OsError{EEXIST})));
  EXPECT_EQ(create_folders(dir_ + "/file/sub/deeper"),
            OsResult<void>(std::unexpected(OsError{EEXIST})));
}

}  // namespace
}  // namespace tavi
