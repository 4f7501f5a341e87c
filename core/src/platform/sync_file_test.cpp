#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tavi/fd.hpp"
#include "tavi/os_error.hpp"
#include "tavi/platform.hpp"

#include "scratch.hpp"

namespace tavi::platform {
namespace {

TEST(SyncFile, SyncsFilesWhetherOpenForWritingOrReadingAndFolders) {
  test::ScratchDir scratch;
  const std::string path = scratch.file("data");
  test::write_file(path, "bytes that must reach the disk");
  struct Case {
    const char* name;
    std::string path;
    int flags;
  };
  for (const Case& c : {Case{"written", path, O_WRONLY | O_APPEND}, Case{"read", path, O_RDONLY},
                        Case{"folder", scratch.path(), O_RDONLY | O_DIRECTORY}}) {
    SCOPED_TRACE(c.name);
    Fd fd(::open(c.path.c_str(), c.flags | O_CLOEXEC));
    ASSERT_TRUE(fd);
    if (c.flags & O_WRONLY) {
      ASSERT_EQ(::write(fd.get(), "!", 1), 1);
    }
    EXPECT_EQ(sync_file(fd.get()), OsResult<void>());
  }
  EXPECT_EQ(test::read_file(path), "bytes that must reach the disk!");
}

TEST(SyncFile, ABadDescriptorGivesTheSystemsError) {
  const int closed = ::dup(STDERR_FILENO);
  ASSERT_GE(closed, 0);
  ASSERT_EQ(::close(closed), 0);
  EXPECT_EQ(sync_file(closed), OsResult<void>(std::unexpected(OsError{EBADF})));
}

}  // namespace
}  // namespace tavi::platform
