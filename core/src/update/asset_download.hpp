// Fetching a release's executable into the part file, hashing it on the way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tavi/fd.hpp"
#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::size_t DOWNLOAD_CHUNK_BYTES = 65536;

// The finished part file: its digest as 64 lower-case hex digits, and the
// descriptor it was written through, still open.
struct DownloadedAsset {
  std::string digest;
  Fd file;
};

// GETs `url` and streams at most `limit` decoded body bytes, through one
// buffer of DOWNLOAD_CHUNK_BYTES, into SHA-256 and into `part_path`, which is
// created anew, whatever stood there removed first, only once the response
// head has arrived, and is flushed to stable storage at the end. Gives
// the digest and the file, or one of "Gagal mengunduh pembaruan: {}" (before
// the head), "Gagal membuat file: {}", "Unduhan terputus: {}" and "Gagal
// menulis file: {}"; after the last two the part file keeps every byte
// received so far.
Result<DownloadedAsset> download_asset(const std::string& url, const std::string& part_path,
                                       std::uint64_t limit);

// Whether the manifest's `expected` digest, trimmed, is `computed` with ASCII
// letters compared case-insensitively.
bool digest_matches(std::string_view expected, std::string_view computed);

}  // namespace tavi
