// `tavi-helper update` as a black box, built with the test key and pointed at
// a release server on loopback: what it prints, what it fetches, and the files
// it leaves beside the executable it was started as.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "tls_test_server.hpp"
#include "update_harness.hpp"

namespace tavi::e2e {
namespace {

namespace fs = std::filesystem;

const std::string NEW_BUILD = "#!/bin/sh\necho 'a newer helper'\n";

// Executables are compared by digest, so a failure does not print megabytes.
std::string digest_of(const std::string& path) { return sha256_hex(read_file(path)); }

class UpdateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(bin());
    fs::copy_file(testkey_helper_binary(), executable);
    original = digest_of(executable);
  }

  std::string bin() const { return scratch.file("bin"); }
  std::string staged(const std::string& extension) const { return bin() + "/id.tavi." + extension; }

  RunOutcome run_update(const std::string& program) {
    return run_program(program, {"update"}, update_environment(scratch, server));
  }
  RunOutcome run_update() { return run_update(executable); }

  std::vector<std::string> request_targets() const {
    std::vector<std::string> out;
    for (const auto& r : server.requests()) out.push_back(r.target);
    return out;
  }

  ScratchDir scratch;
  ReleaseServer server;
  std::string executable = scratch.file("bin/id.tavi.helper");
  std::string original;  // digest of the executable before the run
};

// The names in `folder`, sorted.
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

TEST_F(UpdateCommand, AReleaseThatIsNotNewerChangesNothing) {
  for (const std::string version : {"0.3.0", "v0.3.0", "0.2.9", "0.3"}) {
    SCOPED_TRACE(version);
    // Not even the assets are looked at: this one has none for this platform.
    server.publish(manifest_json(version, {}));
    const auto before = server.requests().size();
    RunOutcome r = run_update();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "tavi-helper sudah versi terbaru (0.3.0).\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.requests().size() - before, 2u);
    EXPECT_EQ(digest_of(executable), original);
    EXPECT_EQ(names_in(bin()), std::vector<std::string>{"id.tavi.helper"})
        << "no file beside the executable";
  }
}

TEST_F(UpdateCommand, ANewerReleaseReplacesTheExecutable) {
  // Leftovers of an earlier failed run are overwritten.
  write_file(staged("part"), std::string(100000, 'p'));
  write_file(staged("download"), "an old unverified download");
  server.release("v0.4.0", NEW_BUILD);

  RunOutcome r = run_update();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "tavi-helper diperbarui ke v0.4.0: " + executable + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(executable), NEW_BUILD);
  EXPECT_EQ(mode_of(executable), 0755u);
  EXPECT_EQ(names_in(bin()), (std::vector<std::string>{"id.tavi.helper", "id.tavi.lock"}))
      << "no staged file left; the lock file stays for the next run";
  EXPECT_EQ(mode_of(staged("lock")), 0600u);
  EXPECT_EQ(request_targets(),
            (std::vector<std::string>{"/latest.json", "/latest.json.sig", "/assets/helper"}));
  EXPECT_EQ(server.requests()[2].headers.at("user-agent"), "tavi-updater/0.3.0");
}

TEST_F(UpdateCommand, AStartThroughALinkReplacesTheLinkAndPrintsItsPath) {
  fs::create_directory(scratch.file("real"));
  fs::rename(executable, scratch.file("real/tavi-helper"));
  const std::string link = bin() + "/../bin/tavi-helper";
  fs::create_symlink(scratch.file("real/tavi-helper"), scratch.file("bin/tavi-helper"));
  server.release("0.4.0", NEW_BUILD);

  RunOutcome r = run_update(link);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "tavi-helper diperbarui ke 0.4.0: " + link + "\n");
  EXPECT_FALSE(fs::is_symlink(scratch.file("bin/tavi-helper")));
  EXPECT_EQ(read_file(scratch.file("bin/tavi-helper")), NEW_BUILD);
  EXPECT_EQ(digest_of(scratch.file("real/tavi-helper")), original);
}

TEST_F(UpdateCommand, AssetUrlsThatAreNotHttpsJoinTheBaseUrl) {
  server.serve("//assets/helper", NEW_BUILD);
  server.publish(manifest_json(
      "0.4.0", {{"darwin-aarch64-helper", {"/assets/helper", sha256_hex(NEW_BUILD), 0}}}));
  auto env = update_environment(scratch, server);
  env.set["TAVI_UPDATE_URL"] = server.url("///");
  RunOutcome r = run_program(executable, {"update"}, env);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(request_targets(),
            (std::vector<std::string>{"/latest.json", "/latest.json.sig", "//assets/helper"}));
  EXPECT_EQ(read_file(executable), NEW_BUILD);
}

TEST_F(UpdateCommand, OnlyALowerCaseHttpsSchemeKeepsAnAssetUrlWhole) {
  // Taken whole, each of these would be fetched at "/assets/helper", which
  // is not served; joined to the base URL, it is served as its own target.
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  for (const std::string& url :
       {"http://" + host + "/assets/helper", "HTTPS://" + host + "/assets/helper"}) {
    SCOPED_TRACE(url);
    fs::copy_file(testkey_helper_binary(), executable, fs::copy_options::overwrite_existing);
    server.serve("/" + url, NEW_BUILD);
    server.publish(
        manifest_json("0.4.0", {{"darwin-aarch64-helper", {url, sha256_hex(NEW_BUILD), 0}}}));
    const auto before = server.requests().size();
    RunOutcome r = run_update();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const auto targets = request_targets();
    ASSERT_EQ(targets.size() - before, 3u);
    EXPECT_EQ(targets.back(), "/" + url);
    EXPECT_EQ(read_file(executable), NEW_BUILD);
  }
}

TEST_F(UpdateCommand, ADeclaredSizeOfExactlyTheLimitPasses) {
  // The declared size is only compared with the limit, never with the body.
  server.serve("/assets/helper", NEW_BUILD);
  server.publish(manifest_json(
      "0.4.0", {{"darwin-aarch64-helper", {"assets/helper", sha256_hex(NEW_BUILD), 314572800}}}));
  RunOutcome r = run_update();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_file(executable), NEW_BUILD);
}

TEST_F(UpdateCommand, AnHttpsAssetUrlIsFetchedUnchangedAndItsServerMustBeTrusted) {
  testing::TlsTestServer tls;
  server.publish(manifest_json(
      "0.4.0", {{"darwin-aarch64-helper", {tls.url("/asset"), sha256_hex(NEW_BUILD), 0}}}));
  RunOutcome r = run_update();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.err.starts_with("tavi-helper: Gagal mengunduh pembaruan: SSL certificate problem"))
      << r.err;
  EXPECT_EQ(server.requests().size(), 2u) << "nothing joined to the base URL";
  EXPECT_FALSE(fs::exists(staged("part")));
  EXPECT_EQ(digest_of(executable), original);
}

// One failure of the run: how the server and the folder are set up, the
// message, whether the asset was asked for, and what the part file holds.
struct FailureCase {
  const char* what;
  std::function<void(ReleaseServer&, const std::string& bin)> set_up;
  std::string message;  // the whole message, or its start when `prefix_only`
  bool prefix_only = false;
  bool asset_requested = false;
  std::optional<std::string> part_file;  // nothing: no part file
};

std::string signed_release(ReleaseServer& server, const std::string& sha256, std::uint64_t size,
                           const std::string& key = "darwin-aarch64-helper") {
  const std::string manifest = manifest_json("0.4.0", {{key, {"assets/helper", sha256, size}}});
  server.publish(manifest);
  return manifest;
}

TEST_F(UpdateCommand, EachFailedStepHasItsMessageAndLeavesTheFilesAsTheyWere) {
  const std::string sha = sha256_hex(NEW_BUILD);
  const std::uint64_t size = NEW_BUILD.size();
  const std::vector<FailureCase> cases = {
      {"no manifest", [](ReleaseServer&, const std::string&) {},
       "Tidak bisa menghubungi server pembaruan: http status: 404"},
      {"no signature",
       [&](ReleaseServer& s, const std::string&) {
         signed_release(s, sha, size);
         s.serve("/latest.json.sig", testing::HttpReply{.status = 404});
       },
       "Tidak bisa menghubungi server pembaruan: http status: 404"},
      {"signature text broken",
       [&](ReleaseServer& s, const std::string&) {
         signed_release(s, sha, size);
         s.serve("/latest.json.sig", "not base64 at all");
       },
       "Tanda tangan pembaruan rusak."},
      {"manifest changed after signing",
       [&](ReleaseServer& s, const std::string&) {
         s.serve("/latest.json", signed_release(s, sha, size) + " ");
       },
       "Tanda tangan pembaruan tidak cocok, pembaruan diabaikan."},
      {"signed but not a manifest",
       [](ReleaseServer& s, const std::string&) { s.publish("{\"version\": 4}"); },
       "Manifest pembaruan tidak dikenali: ", true},
      {"no asset for this platform",
       [&](ReleaseServer& s, const std::string&) {
         signed_release(s, sha, size, "darwin-x86_64-helper");
       },
       "Belum ada helper untuk platform ini di rilis terbaru."},
      {"asset declared too large",
       [&](ReleaseServer& s, const std::string&) { signed_release(s, sha, 314572801); },
       "File pembaruan terlalu besar."},
      {"asset missing on the server",
       [&](ReleaseServer& s, const std::string&) { signed_release(s, sha, size); },
       "Gagal mengunduh pembaruan: http status: 404", false, true},
      {"part file cannot be created",
       [&](ReleaseServer& s, const std::string& bin) {
         signed_release(s, sha, size);
         s.serve("/assets/helper", NEW_BUILD);
         fs::create_directory(bin + "/id.tavi.part");
       },
       "Gagal membuat file: Is a directory (os error 21)", false, true},
      {"body cut short",
       [&](ReleaseServer& s, const std::string&) {
         signed_release(s, sha, size);
         s.serve("/assets/helper", testing::HttpReply{.body = NEW_BUILD, .declared_length = 1000});
       },
       "Unduhan terputus: ", true, true, NEW_BUILD},
      {"digest of another file",
       [&](ReleaseServer& s, const std::string&) {
         signed_release(s, sha256_hex("another file"), size);
         s.serve("/assets/helper", NEW_BUILD);
       },
       "File pembaruan rusak (checksum tidak cocok).", false, true},
      {"digest one digit short",
       [&](ReleaseServer& s, const std::string&) {
         signed_release(s, sha.substr(0, 63), size);
         s.serve("/assets/helper", NEW_BUILD);
       },
       "File pembaruan rusak (checksum tidak cocok).", false, true},
      {"download path taken by a folder",
       [&](ReleaseServer& s, const std::string& bin) {
         signed_release(s, sha, size);
         s.serve("/assets/helper", NEW_BUILD);
         fs::create_directories(bin + "/id.tavi.download/inside");
       },
       "Gagal menyimpan pembaruan: Is a directory (os error 21)", false, true, NEW_BUILD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch_dir;
    const std::string folder = scratch_dir.file("bin");
    fs::create_directory(folder);
    const std::string program = folder + "/id.tavi.helper";
    fs::copy_file(testkey_helper_binary(), program);
    ReleaseServer release_server;
    c.set_up(release_server, folder);

    RunOutcome r =
        run_program(program, {"update"}, update_environment(scratch_dir, release_server));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    if (c.prefix_only) {
      EXPECT_TRUE(r.err.starts_with("tavi-helper: " + c.message)) << r.err;
    } else {
      EXPECT_EQ(r.err, "tavi-helper: " + c.message + "\n");
    }
    EXPECT_EQ(release_server.count("/assets/helper"), c.asset_requested ? 1u : 0u);
    EXPECT_EQ(digest_of(program), original) << "the executable is untouched";
    // The lock is taken just before the asset is asked for.
    EXPECT_EQ(fs::exists(folder + "/id.tavi.lock"), c.asset_requested);
    const std::string part = folder + "/id.tavi.part";
    if (c.part_file) {
      EXPECT_EQ(read_file(part), *c.part_file);
    } else if (!fs::is_directory(part)) {
      EXPECT_FALSE(fs::exists(part));
    }
  }
}

TEST_F(UpdateCommand, ABodyOverTheSizeLimitStopsAtTheLimitAndKeepsThePartFile) {
  // Declared as 0 bytes, which passes the size check; only the body counts.
  server.serve("/assets/helper", testing::HttpReply{.fill_size = 314572801});
  signed_release(server, sha256_hex(NEW_BUILD), 0);
  RunOutcome r = run_update();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err,
            "tavi-helper: Unduhan terputus: the response body is larger than request limit: "
            "314572800\n");
  EXPECT_EQ(fs::file_size(staged("part")), 314572800u);
  EXPECT_EQ(digest_of(executable), original);
  fs::remove(staged("part"));
}

TEST_F(UpdateCommand, ASecondRunFailsAtOnceWhileOneHoldsTheLock) {
  server.release("0.4.0", NEW_BUILD);
  // A run holds the lock file beside the executable.
  const int held = ::open(staged("lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  RunOutcome r = run_update();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "tavi-helper: Pembaruan lain sedang berjalan.\n");
  EXPECT_EQ(server.count("/assets/helper"), 0u);
  EXPECT_FALSE(fs::exists(staged("part")));
  EXPECT_EQ(digest_of(executable), original);

  ::close(held);
  r = run_update();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_file(executable), NEW_BUILD);
  EXPECT_EQ(names_in(bin()), (std::vector<std::string>{"id.tavi.helper", "id.tavi.lock"}));
}

// Any user may read the executable's folder; none but the run's own user may
// open the lock file. Another user holding a lock on the folder, or trying the
// lock file, holds up no run.
TEST_F(UpdateCommand, AnotherUserCannotHoldUpTheUpdate) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  server.release("0.4.0", NEW_BUILD);
  ASSERT_EQ(run_update().exit_status, 0);  // leaves the lock file, as every run does
  fs::remove(executable);
  fs::copy_file(testkey_helper_binary(), executable);
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);

  // The other user: locks the folder, tries the lock file, reports, then waits.
  int report[2], hold[2];
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(hold), 0);
  const std::string folder = bin();
  const std::string lock = staged("lock");
  const pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    ::close(report[0]);
    ::close(hold[1]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    const bool folder_locked = dir >= 0 && ::flock(dir, LOCK_EX | LOCK_NB) == 0;
    const int file = ::open(lock.c_str(), O_RDONLY);
    const char outcome[2] = {folder_locked ? 'y' : 'n', file < 0 && errno == EACCES ? 'y' : 'n'};
    (void)!::write(report[1], outcome, 2);
    char ignored;
    (void)!::read(hold[0], &ignored, 1);  // until the test lets go
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(hold[0]);
  char outcome[2] = {};
  ASSERT_EQ(::read(report[0], outcome, 2), 2);
  EXPECT_EQ(outcome[0], 'y') << "the other user could not even lock the folder";
  EXPECT_EQ(outcome[1], 'y') << "the other user could open the lock file";

  server.release("0.5.0", NEW_BUILD);
  RunOutcome r = run_update();
  ::close(hold[1]);
  ::close(report[0]);
  int status = 0;
  ::waitpid(other, &status, 0);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "tavi-helper diperbarui ke 0.5.0: " + executable + "\n");
  EXPECT_EQ(digest_of(executable), sha256_hex(NEW_BUILD));
}

// A run that cannot take the lock for any other reason than another run
// holding it stops before it asks for the asset: unlocked, two runs would share
// the part file. Someone else's file that a link at the lock path leads to
// keeps its owner and mode.
TEST_F(UpdateCommand, ALockThatCannotBeTakenStopsTheRunBeforeTheAsset) {
  const std::string theirs = scratch.file("theirs");
  write_file(theirs, "someone else's file");
  ASSERT_EQ(::chmod(theirs.c_str(), 0644), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  }
  struct stat theirs_before {};
  ASSERT_EQ(::stat(theirs.c_str(), &theirs_before), 0);
  struct Refusal {
    const char* what;
    std::function<void(const std::string& lock)> set_up;
    std::vector<std::string> command;  // before the executable's path
    std::string message;
  };
  const std::vector<Refusal> cases = {
      {"a folder in its place",
       [](const std::string& lock) { fs::create_directory(lock); },
       {},
       "Gagal membuat file: Is a directory (os error 21)"},
      {"a link in its place",
       [&](const std::string& lock) { fs::create_symlink(theirs, lock); },
       {},
       "Gagal membuat file: Too many levels of symbolic links (os error 40)"},
      {"a hard link to someone else's file",
       [&](const std::string& lock) { fs::create_hard_link(theirs, lock); },
       {},
       "Gagal membuat file: Too many links (os error 31)"},
      {"no right to create it",
       [](const std::string&) {},
       {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
       "Gagal membuat file: Permission denied (os error 13)"},
  };
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  for (const Refusal& c : cases) {
    if (!c.command.empty() && ::geteuid() != 0) continue;  // running as another user needs root
    SCOPED_TRACE(c.what);
    fs::remove_all(staged("lock"));
    c.set_up(staged("lock"));
    server.release("0.4.0", NEW_BUILD);
    const auto before = server.count("/assets/helper");

    std::vector<std::string> args(c.command.begin(), c.command.end());
    args.push_back(executable);
    args.push_back("update");
    const std::string program = args.front();
    args.erase(args.begin());
    RunOutcome r = run_program(program, args, update_environment(scratch, server));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "tavi-helper: " + c.message + "\n");
    EXPECT_EQ(server.count("/assets/helper"), before) << "the asset was asked for";
    EXPECT_FALSE(fs::exists(staged("part")));
    EXPECT_EQ(digest_of(executable), original);
    struct stat theirs_after {};
    ASSERT_EQ(::stat(theirs.c_str(), &theirs_after), 0);
    EXPECT_EQ(theirs_after.st_uid, theirs_before.st_uid);
    EXPECT_EQ(theirs_after.st_gid, theirs_before.st_gid);
    EXPECT_EQ(theirs_after.st_mode & 07777, 0644u);
  }
}

// Whatever stands at the part path when the asset arrives is removed, and the
// run writes a new file of its own: written through, a link would carry the
// release into another file, a FIFO would hold the run (and its lock) for
// ever, and another user's file would make the new executable theirs.
TEST_F(UpdateCommand, WhateverIsPlantedAtThePartPathMakesWayForAFileOfTheRunsOwn) {
  constexpr uid_t SOMEONE = 4242;
  const bool root = ::geteuid() == 0;
  const std::string outside = scratch.file("outside");
  struct Planted {
    const char* what;
    std::function<void(const std::string& part)> plant;
  };
  const std::vector<Planted> cases = {
      {"symbolic link", [&](const std::string& part) { fs::create_symlink(outside, part); }},
      {"hard link", [&](const std::string& part) { fs::create_hard_link(outside, part); }},
      {"FIFO", [](const std::string& part) { ASSERT_EQ(::mkfifo(part.c_str(), 0666), 0); }},
      {"another user's file",
       [&](const std::string& part) {
         write_file(part, std::string(1000, 'u'));
         ASSERT_EQ(::chmod(part.c_str(), 0666), 0);
         if (root) {
           ASSERT_EQ(::chown(part.c_str(), SOMEONE, SOMEONE), 0);
         }
       }},
  };
  for (const Planted& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(executable);
    fs::copy_file(testkey_helper_binary(), executable);
    write_file(outside, "someone else's file");
    ASSERT_EQ(::chmod(outside.c_str(), 0640), 0);
    c.plant(staged("part"));
    server.release("0.4.0", NEW_BUILD);

    // A run stuck in open() is ended, so a FIFO fails the case instead of the suite.
    RunOutcome r = run_program("/usr/bin/timeout", {"60", executable, "update"},
                               update_environment(scratch, server));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "tavi-helper diperbarui ke 0.4.0: " + executable + "\n");
    EXPECT_EQ(digest_of(executable), sha256_hex(NEW_BUILD));
    struct stat installed {};
    ASSERT_EQ(::lstat(executable.c_str(), &installed), 0);
    EXPECT_TRUE(S_ISREG(installed.st_mode));
    EXPECT_EQ(installed.st_nlink, 1u);
    EXPECT_EQ(installed.st_mode & 07777, 0755u);
    EXPECT_EQ(installed.st_uid, ::geteuid());
    EXPECT_EQ(read_file(outside), "someone else's file");
    EXPECT_EQ(mode_of(outside), 0640u);
    EXPECT_EQ(names_in(bin()), (std::vector<std::string>{"id.tavi.helper", "id.tavi.lock"}));
  }
}

TEST_F(UpdateCommand, AnExecutableNamedLikeAStagedFileIsRefusedBeforeAnyFetch) {
  server.release("0.4.0", NEW_BUILD);
  for (const std::string name : {"tavi.part", "tavi.download", "tavi.lock"}) {
    const std::string program = bin() + "/" + name;
    fs::copy_file(testkey_helper_binary(), program);
    RunOutcome r = run_update(program);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tavi-helper: Path helper tidak didukung untuk pembaruan: " + program + "\n");
  }
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tavi::e2e
