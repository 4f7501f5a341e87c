#include "tavi/update/staging.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <utility>

#include "scratch.hpp"

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
  EXPECT_EQ(staged->lock, "bin/tavi-helper.lock");

  staged = staged_paths("tavi-helper");
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->part, "tavi-helper.part");
  EXPECT_EQ(staged->lock, "tavi-helper.lock");
}

TEST(StagedPaths, RefusesPathsAStagedFileWouldOverwrite) {
  for (const std::string path :
       {"/opt/x.part", "/opt/x.download", "/opt/x.lock", "/opt/x.PART", "/opt/x.Download",
        "/opt/x.LOCK", "/opt/", "/opt/..", "/opt/.", "", "x.part"}) {
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
  std::string path(const std::string& name) const { return scratch.file(name); }
  test::ScratchDir scratch;
  std::string lock = path("id.tavi.lock");
};

TEST_F(LockUpdate, OneHolderAtATimeAndTheFileKeptPrivate) {
  auto first = lock_update(lock);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(lock_update(lock).error(), "Pembaruan lain sedang berjalan.");
  first->reset();
  auto again = lock_update(lock);
  ASSERT_TRUE(again) << again.error();
  again->reset();

  struct stat kept {};
  ASSERT_EQ(::lstat(lock.c_str(), &kept), 0) << "the lock file stays for the next run";
  EXPECT_TRUE(S_ISREG(kept.st_mode));
  EXPECT_EQ(kept.st_mode & 07777, 0600u);
  EXPECT_EQ(kept.st_uid, ::geteuid());
}

// A lock file left open to others (older code made it 0644) is taken over in
// place: the same file, now private, and still the one lock, so that a run
// that opened it before is refused while this one holds it.
TEST_F(LockUpdate, AnExistingFileOpenToOthersIsMadePrivateAndStaysTheLock) {
  struct Case {
    mode_t mode;
    bool other_owner;
  };
  for (const Case& c : {Case{0644, false}, Case{0666, true}}) {
    if (c.other_owner && ::geteuid() != 0) continue;  // only root can give a file away
    SCOPED_TRACE(c.mode);
    std::ofstream(lock) << "";
    ASSERT_EQ(::chmod(lock.c_str(), c.mode), 0);
    if (c.other_owner) {
      ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(lock.c_str(), &before), 0);
    Fd opened_earlier(::open(lock.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(opened_earlier);

    auto held = lock_update(lock);
    ASSERT_TRUE(held) << held.error();
    struct stat after {};
    ASSERT_EQ(::stat(lock.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "made private in place, not replaced";
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(after.st_uid, ::geteuid());
    EXPECT_EQ(after.st_gid, ::getegid());
    EXPECT_EQ(lock_update(lock).error(), "Pembaruan lain sedang berjalan.");
    EXPECT_NE(::flock(opened_earlier.get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK) << "a run that opened the file before is refused as well";
    held->reset();
    ASSERT_EQ(::unlink(lock.c_str()), 0);
  }
}

TEST_F(LockUpdate, NoOtherUserCanOpenTheLockFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  ASSERT_TRUE(lock_update(lock));
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    ::_exit(fd < 0 && errno == EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another user opened the lock file";
}

TEST_F(LockUpdate, WhatCannotBeOpenedOrLockedFailsWithTheSystemsText) {
  std::filesystem::create_directory(path("folder"));
  std::ofstream(path("elsewhere")) << "not to be locked";
  std::filesystem::create_symlink(path("elsewhere"), path("link"));
  // Not a plain file, and open to others: not ours to make private.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(path("fifo").c_str(), 0644), 0);
  for (const auto& [at, message] : {
           std::pair{path("missing/id.tavi.lock"),
                     "Gagal membuat file: No such file or directory (os error 2)"},
           std::pair{path("folder"), "Gagal membuat file: Is a directory (os error 21)"},
           std::pair{path("link"),
                     "Gagal membuat file: Too many levels of symbolic links (os error 40)"},
           std::pair{path("fifo"), "Gagal membuat file: File exists (os error 17)"},
       }) {
    SCOPED_TRACE(at);
    auto locked = lock_update(at);
    ASSERT_FALSE(locked);
    EXPECT_EQ(locked.error(), message);
  }
}

// Made private through a hard link planted at the lock path, someone else's
// file (the hosts file, say) would become root's and 0600 under its other
// name. Such a file is left as it was, and the run ends.
TEST_F(LockUpdate, AFileWithAnotherNameIsLeftAsItWasAndTheRunFails) {
  const std::string theirs = path("theirs");
  std::ofstream(theirs) << "someone else's";
  ASSERT_EQ(::chmod(theirs.c_str(), 0644), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  }
  struct stat before {};
  ASSERT_EQ(::stat(theirs.c_str(), &before), 0);
  ASSERT_EQ(::link(theirs.c_str(), lock.c_str()), 0);

  auto locked = lock_update(lock);
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error(), "Gagal membuat file: Too many links (os error 31)");
  struct stat after {};
  ASSERT_EQ(::stat(theirs.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mode & 07777, 0644u);
  Fd other(::open(theirs.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(other);
  EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0) << "its lock was taken";
}

// A lock file that is already private needs no change, so a second name that
// someone gave it (a hard link needs no right to the file) stops no update.
TEST_F(LockUpdate, APrivateLockFileWithAnotherNameStillServes) {
  ASSERT_TRUE(lock_update(lock));
  const std::string other = path("other name");
  ASSERT_EQ(::link(lock.c_str(), other.c_str()), 0);
  auto held = lock_update(lock);
  ASSERT_TRUE(held) << held.error();
  EXPECT_EQ(lock_update(lock).error(), "Pembaruan lain sedang berjalan.");
}

TEST_F(LockUpdate, AFifoInItsPlaceDoesNotHoldTheRun) {
  ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
  // Without O_NONBLOCK this open would wait for a writer for ever.
  auto locked = lock_update(lock);
  EXPECT_TRUE(locked) << locked.error();
}

}  // namespace
}  // namespace tavi
