#include "update/asset_download.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sodium.h>
#include <unistd.h>

#include <array>
#include <vector>

#include "tavi/fd.hpp"
#include "tavi/os_error.hpp"
#include "tavi/platform.hpp"
#include "tavi/text.hpp"
#include "tavi/update/http.hpp"

namespace tavi {

namespace {

Result<void> write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(fmt::format("Gagal menulis file: {}", os_error_text(errno)));
    if (n == 0) return fail("Gagal menulis file: failed to write whole buffer");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// The part file and the one buffer between the body and the file. Bytes are
// added to the digest as they go to the file, so the file is never read back.
class PartFile {
 public:
  PartFile() : buffer_(DOWNLOAD_CHUNK_BYTES) { crypto_hash_sha256_init(&digest_); }

  // A fresh file of this run's own. Whatever stood at the path (a leftover, or
  // a link, a hard link, a FIFO or another user's file put there) is removed
  // first: opened as it is, the download would be written into a file it
  // names elsewhere, block in open(), or keep its owner.
  Result<void> create(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return fail(fmt::format("Gagal membuat file: {}", os_error_text(errno)));
    }
    fd_ = Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd_) return fail(fmt::format("Gagal membuat file: {}", os_error_text(errno)));
    return {};
  }

  Result<void> take(std::string_view chunk) {
    while (!chunk.empty()) {
      const std::size_t n = std::min(chunk.size(), buffer_.size() - filled_);
      std::copy_n(chunk.data(), n, buffer_.data() + filled_);
      filled_ += n;
      chunk.remove_prefix(n);
      if (filled_ == buffer_.size()) {
        if (auto flushed = flush(); !flushed) return flushed;
      }
    }
    return {};
  }

  // Hands the buffered bytes to the digest and the file.
  Result<void> flush() {
    if (filled_ == 0 || !fd_) return {};
    crypto_hash_sha256_update(&digest_, buffer_.data(), filled_);
    auto written = write_all(
        fd_.get(), std::string_view(reinterpret_cast<const char*>(buffer_.data()), filled_));
    filled_ = 0;
    return written;
  }

  // Flushes and syncs the file; the digest in hexadecimal and the file's
  // descriptor, through which its mode is set once it has been renamed.
  Result<DownloadedAsset> finish() {
    if (auto flushed = flush(); !flushed) return std::unexpected(flushed.error());
    if (auto synced = platform::sync_file(fd_.get()); !synced)
      return fail(fmt::format("Gagal menulis file: {}", synced.error().text()));
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256_final(&digest_, digest.data());
    std::array<char, crypto_hash_sha256_BYTES * 2 + 1> hex{};
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    return DownloadedAsset{std::string(hex.data()), std::move(fd_)};
  }

 private:
  Fd fd_;
  std::vector<unsigned char> buffer_;
  std::size_t filled_ = 0;
  crypto_hash_sha256_state digest_{};
};

}  // namespace

Result<DownloadedAsset> download_asset(const std::string& url, const std::string& part_path,
                                       std::uint64_t limit) {
  PartFile part;
  const BodyHandlers handlers{
      .on_head = [&] { return part.create(part_path); },
      .on_chunk = [&](std::string_view chunk) { return part.take(chunk); },
  };
  auto got = stream_get(build_http_agent(), url, limit, handlers);
  if (!got) {
    switch (got.error().stage) {
      case GetStage::Request:
        return fail(fmt::format("Gagal mengunduh pembaruan: {}", got.error().text));
      case GetStage::Sink:
        return fail(got.error().text);
      case GetStage::Body:
        // What arrived before the failure belongs in the part file.
        if (auto flushed = part.flush(); !flushed) return std::unexpected(flushed.error());
        return fail(fmt::format("Unduhan terputus: {}", got.error().text));
    }
  }
  return part.finish();
}

bool digest_matches(std::string_view expected, std::string_view computed) {
  // Only ASCII letters fold, so a digest never matches through other bytes.
  return equal_ignoring_ascii_case(trim_white_space(expected), computed);
}

}  // namespace tavi
