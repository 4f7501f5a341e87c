// The asset's road into the part file: every byte hashed and written through
// one buffer, and what the part file holds after each kind of failure.
#include "update/asset_download.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "http_test_server.hpp"
#include "scratch.hpp"
#include "sha256.hpp"

namespace tavi {
namespace {

using testing::HttpReply;
using testing::sha256_hex;

using tavi::test::read_file;

// A body whose bytes differ from place to place, so a lost or doubled piece shows.
std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return out;
}

// The digest of a finished download, or its message.
Result<std::string> digest_of(Result<DownloadedAsset> downloaded) {
  if (!downloaded) return std::unexpected(downloaded.error());
  return downloaded->digest;
}

class AssetDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"}) {
      ::unsetenv(name);
    }
    dir = std::filesystem::temp_directory_path() / ("tavi-asset-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    part = (dir / "id.tavi.part").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  testing::HttpTestServer server;
  std::filesystem::path dir;
  std::string part;
};

TEST_F(AssetDownload, EveryByteReachesTheFileAndTheDigestAcrossBufferEdges) {
  for (std::size_t size : {0, 1, 65535, 65536, 65537, 200000}) {
    SCOPED_TRACE(size);
    const std::string body = pattern(size);
    server.serve("/asset", body);
    EXPECT_EQ(digest_of(download_asset(server.url("/asset"), part, 1 << 20)), sha256_hex(body));
    EXPECT_EQ(read_file(part), body);
  }
}

TEST_F(AssetDownload, GzipBodiesAreStoredDecoded) {
  const std::string body = pattern(100000);
  server.serve("/asset",
               HttpReply{.headers = {{"Content-Encoding", "gzip"}}, .body = testing::gzip(body)});
  EXPECT_EQ(digest_of(download_asset(server.url("/asset"), part, 100000)), sha256_hex(body));
  EXPECT_EQ(read_file(part), body);
}

TEST_F(AssetDownload, ALeftoverPartFileIsReplaced) {
  std::ofstream(part) << std::string(5000, 'o');
  server.serve("/asset", "new");
  EXPECT_EQ(digest_of(download_asset(server.url("/asset"), part, 100)), sha256_hex("new"));
  EXPECT_EQ(read_file(part), "new");
}

TEST_F(AssetDownload, NoPartFileBeforeTheResponseHead) {
  auto got = download_asset(server.url("/missing"), part, 100);
  EXPECT_EQ(got.error(), "Gagal mengunduh pembaruan: http status: 404");
  EXPECT_FALSE(std::filesystem::exists(part));
}

TEST_F(AssetDownload, ABodyOverTheLimitLeavesTheFirstLimitBytes) {
  const std::string body = pattern(150001);
  server.serve("/asset", body);
  auto got = download_asset(server.url("/asset"), part, 150000);
  EXPECT_EQ(got.error(),
            "Unduhan terputus: the response body is larger than request limit: 150000");
  EXPECT_EQ(read_file(part), body.substr(0, 150000));
}

TEST_F(AssetDownload, ACutBodyLeavesWhatArrived) {
  const std::string body = pattern(70000);
  server.serve("/asset", HttpReply{.body = body, .declared_length = 90000});
  auto got = download_asset(server.url("/asset"), part, 1 << 20);
  ASSERT_FALSE(got);
  EXPECT_TRUE(got.error().starts_with("Unduhan terputus: ")) << got.error();
  EXPECT_EQ(read_file(part), body);
}

TEST_F(AssetDownload, APartFileThatCannotBeCreatedFailsAfterTheRequest) {
  std::filesystem::create_directory(part);
  server.serve("/asset", "data");
  auto got = download_asset(server.url("/asset"), part, 100);
  EXPECT_EQ(got.error(), "Gagal membuat file: Is a directory (os error 21)");
  EXPECT_EQ(server.count("/asset"), 1u);
}

TEST_F(AssetDownload, TheFinishedFileStaysOpenForItsMode) {
  server.serve("/asset", "data");
  auto got = download_asset(server.url("/asset"), part, 100);
  ASSERT_TRUE(got) << got.error();
  struct stat written {};
  struct stat named {};
  ASSERT_EQ(::fstat(got->file.get(), &written), 0);
  ASSERT_EQ(::stat(part.c_str(), &named), 0);
  EXPECT_EQ(written.st_ino, named.st_ino);
  EXPECT_EQ(written.st_dev, named.st_dev);
  EXPECT_NE(::fcntl(got->file.get(), F_GETFD) & FD_CLOEXEC, 0);
}

// Opened as it stands, a link at the part path would carry the download into
// the file it names. Each run writes a new file of its own instead.
TEST_F(AssetDownload, ALinkAtThePartPathIsReplacedAndItsTargetKept) {
  const std::string target = (dir / "elsewhere").string();
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    std::ofstream(target, std::ios::trunc) << "precious";
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(hard ? ::link(target.c_str(), part.c_str()) : ::symlink(target.c_str(), part.c_str()),
              0);
    server.serve("/asset", "data");

    auto got = download_asset(server.url("/asset"), part, 100);
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(read_file(target), "precious");
    struct stat kept {};
    ASSERT_EQ(::stat(target.c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 07777, 0600u);
    EXPECT_EQ(kept.st_nlink, 1u);
    struct stat fresh {};
    ASSERT_EQ(::lstat(part.c_str(), &fresh), 0);
    EXPECT_TRUE(S_ISREG(fresh.st_mode));
    EXPECT_EQ(fresh.st_nlink, 1u);
    EXPECT_EQ(read_file(part), "data");
    std::filesystem::remove(part);
  }
}

TEST_F(AssetDownload, AFailedWriteIsAWriteError) {
  // Files of this process may grow to 100 bytes for the while; past that a
  // write fails with EFBIG instead of raising SIGXFSZ.
  struct FileSizeLimit {
    FileSizeLimit() {
      ::getrlimit(RLIMIT_FSIZE, &saved);
      old_action = std::signal(SIGXFSZ, SIG_IGN);
      const rlimit small{100, saved.rlim_max};
      EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    ~FileSizeLimit() {
      ::setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, old_action);
    }
    rlimit saved{};
    void (*old_action)(int) = nullptr;
  };
  server.serve("/asset", pattern(1000));
  Result<DownloadedAsset> got = fail("not run");
  {
    FileSizeLimit limit;
    got = download_asset(server.url("/asset"), part, 100000);
  }
  EXPECT_EQ(got.error(), "Gagal menulis file: File too large (os error 27)");
  EXPECT_EQ(read_file(part), pattern(100)) << "what was written stays";
}

TEST(DigestMatches, TrimmedAndAsciiCaseInsensitiveExactly64) {
  const std::string digest = sha256_hex("release");
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(digest_matches(digest, digest));
  EXPECT_TRUE(digest_matches(upper, digest));
  EXPECT_TRUE(digest_matches(digest + "\n", digest));
  EXPECT_TRUE(digest_matches("\t " + upper + "\r\n", digest));
  EXPECT_FALSE(digest_matches(digest.substr(0, 63), digest));
  EXPECT_FALSE(digest_matches(digest + "0", digest));
  EXPECT_FALSE(digest_matches(sha256_hex("other"), digest));
  EXPECT_FALSE(digest_matches("", digest));
  EXPECT_FALSE(digest_matches(digest.substr(0, 32) + " " + digest.substr(33), digest));
}

}  // namespace
}  // namespace tavi
