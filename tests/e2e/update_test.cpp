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
  EXPECT_EQ(names_in(bin()), std::vector<std::string>{"id.tavi.helper"})
      << "no staged file and no lock file left";
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
    EXPECT_FALSE(fs::exists(folder + "/id.tavi.lock"));
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
  // A run holds the folder of the executable locked.
  const int held = ::open(bin().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
  EXPECT_EQ(names_in(bin()), std::vector<std::string>{"id.tavi.helper"});
}

TEST_F(UpdateCommand, ALinkPlantedAtThePartPathIsRefusedAndItsTargetKept) {
  const std::string outside = scratch.file("outside");
  write_file(outside, "someone else's file");
  ASSERT_EQ(::chmod(outside.c_str(), 0640), 0);
  fs::create_symlink(outside, staged("part"));
  server.release("0.4.0", NEW_BUILD);

  RunOutcome r = run_update();
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "tavi-helper: Gagal membuat file: Too many levels of symbolic links (os error 40)\n");
  EXPECT_EQ(read_file(outside), "someone else's file");
  EXPECT_EQ(mode_of(outside), 0640u);
  EXPECT_EQ(digest_of(executable), original);
  EXPECT_EQ(fs::read_symlink(staged("part")), outside);
  EXPECT_EQ(names_in(bin()), (std::vector<std::string>{"id.tavi.helper", "id.tavi.part"}));
}

TEST_F(UpdateCommand, AnExecutableNamedLikeAStagedFileIsRefusedBeforeAnyFetch) {
  server.release("0.4.0", NEW_BUILD);
  for (const std::string name : {"tavi.part", "tavi.download"}) {
    const std::string program = bin() + "/" + name;
    fs::copy_file(testkey_helper_binary(), program);
    RunOutcome r = run_update(program);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tavi-helper: Path helper tidak didukung untuk pembaruan: " + program + "\n");
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(UpdateCommand, AnExecutableNamedLikeTheOldLockFileIsUpdated) {
  // Older runs locked "<name>.lock"; nothing is staged under that name now.
  const std::string program = bin() + "/tavi.lock";
  fs::rename(executable, program);
  server.release("0.4.0", NEW_BUILD);
  RunOutcome r = run_update(program);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_file(program), NEW_BUILD);
  EXPECT_EQ(names_in(bin()), std::vector<std::string>{"tavi.lock"});
}

}  // namespace
}  // namespace tavi::e2e
