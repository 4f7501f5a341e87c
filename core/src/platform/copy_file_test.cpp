#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tavi/os_error.hpp"
#include "tavi/platform.hpp"

#include "scratch.hpp"

namespace tavi::platform {
namespace {

constexpr const char* NOT_REGULAR =
    "the source path is neither a regular file nor a symlink to a regular file";

class CopyFile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch_.path(); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  void write(const std::string& name, const std::string& bytes, mode_t mode) const {
    std::ofstream(path(name), std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_EQ(::chmod(path(name).c_str(), mode), 0);
  }
  std::string read(const std::string& name) const { return test::read_file(path(name)); }
  mode_t mode(const std::string& name) const {
    struct stat status;
    EXPECT_EQ(::stat(path(name).c_str(), &status), 0);
    return status.st_mode & 07777;
  }

  test::ScratchDir scratch_;
  std::string dir_;
};

TEST_F(CopyFile, CopiesDataAndModeOverALongerFile) {
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  write("source", data, 0750);
  write("destination", std::string(300000, 'x'), 0600);

  ASSERT_EQ(copy_file(path("source"), path("destination")), Result<void>());
  EXPECT_EQ(read("destination"), data);
  EXPECT_EQ(mode("destination"), 0750u);
  EXPECT_EQ(read("source"), data);
}

TEST_F(CopyFile, FollowsASymbolicLinkToARegularFile) {
  write("source", "bytes", 0640);
  ASSERT_EQ(::symlink(path("source").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(copy_file(path("link"), path("copy")), Result<void>());
  EXPECT_EQ(read("copy"), "bytes");
  EXPECT_EQ(mode("copy"), 0640u);
  struct stat status;
  ASSERT_EQ(::lstat(path("copy").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
}

TEST_F(CopyFile, RefusesWhatIsNotARegularFile) {
  std::filesystem::create_directory(path("folder"));
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);  // must not wait for a writer
  ASSERT_EQ(::symlink(path("folder").c_str(), path("folder-link").c_str()), 0);
  for (const std::string& source :
       {path("folder"), std::string("/dev/null"), path("fifo"), path("folder-link")}) {
    SCOPED_TRACE(source);
    EXPECT_EQ(copy_file(source, path("copy")), Result<void>(fail(NOT_REGULAR)));
    EXPECT_FALSE(std::filesystem::exists(path("copy")));
  }
}

TEST_F(CopyFile, ReportsTheSystemErrorText) {
  write("source", "bytes", 0644);
  EXPECT_EQ(copy_file(path("missing"), path("copy")), Result<void>(fail(os_error_text(ENOENT))));
  EXPECT_EQ(copy_file(path("source"), path("no-folder/copy")),
            Result<void>(fail(os_error_text(ENOENT))));
  std::filesystem::create_directory(path("folder"));
  EXPECT_EQ(copy_file(path("source"), path("folder")), Result<void>(fail(os_error_text(EISDIR))));
}

TEST_F(CopyFile, LeavesTheFileWholeWhenSourceAndDestinationAreOne) {
  write("source", "precious bytes", 0700);
  ASSERT_EQ(::link(path("source").c_str(), path("hard-link").c_str()), 0);
  ASSERT_EQ(::symlink(path("source").c_str(), path("soft-link").c_str()), 0);
  for (const std::string& destination :
       {path("source"), dir_ + "//./source", path("hard-link"), path("soft-link")}) {
    SCOPED_TRACE(destination);
    EXPECT_EQ(copy_file(path("source"), destination), Result<void>());
    EXPECT_EQ(read("source"), "precious bytes");
    EXPECT_EQ(mode("source"), 0700u);
  }
}

// Written through, a link at the destination would put the copy into the
// file it names, and the copy would keep that file's owner.
TEST_F(CopyFile, ALinkAtTheDestinationIsReplacedNotWrittenThrough) {
  write("source", "new bytes", 0750);
  write("other", "someone else's bytes", 0600);
  struct Planted {
    const char* target;
    bool hard;  // a hard link to the source itself is the source: left alone
  };
  for (const Planted planted :
       {Planted{"source", false}, Planted{"other", false}, Planted{"other", true}}) {
    SCOPED_TRACE(std::string(planted.target) + (planted.hard ? ", hard link" : ", symbolic link"));
    std::filesystem::remove(path("copy"));
    const std::string target = path(planted.target);
    ASSERT_EQ(planted.hard ? ::link(target.c_str(), path("copy").c_str())
                           : ::symlink(target.c_str(), path("copy").c_str()),
              0);

    ASSERT_EQ(copy_file(path("source"), path("copy")), Result<void>());
    struct stat copy;
    ASSERT_EQ(::lstat(path("copy").c_str(), &copy), 0);
    EXPECT_TRUE(S_ISREG(copy.st_mode));
    EXPECT_EQ(copy.st_nlink, 1u);
    EXPECT_EQ(read("copy"), "new bytes");
    EXPECT_EQ(mode("copy"), 0750u);
    EXPECT_EQ(read("source"), "new bytes");
    EXPECT_EQ(read("other"), "someone else's bytes");
    EXPECT_EQ(mode("other"), 0600u);
  }
}

}  // namespace
}  // namespace tavi::platform
