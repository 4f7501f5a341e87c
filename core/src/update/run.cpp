#include "tavi/update/run.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tavi/update/http.hpp"
#include "tavi/update/manifest.hpp"
#include "tavi/update/staging.hpp"
#include "tavi/update/version.hpp"
#include "tavi/version.hpp"
#include "update/asset_download.hpp"

namespace tavi {

namespace {

OsResult<void> rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(last_os_error());
  return {};
}

std::string asset_url(const Asset& asset) {
  if (asset.url.starts_with("https://")) return asset.url;
  return update_base_url() + "/" + asset.url;
}

// Steps after the asset is chosen: download, check, stage and install.
Result<void> install_asset(const Asset& asset, const std::string& executable,
                           const StagedPaths& staged) {
  if (asset.size > ASSET_MAX_BYTES) return fail("File pembaruan terlalu besar.");
  const std::string url = asset_url(asset);

  // Held until the new file is in place, so a second run for this executable
  // never writes or renames a file this run verified. Taken before the asset
  // is asked for: a run that cannot lock fetches nothing more.
  auto lock = lock_update(staged.lock);
  if (!lock) return std::unexpected(lock.error());

  auto downloaded = download_asset(url, staged.part, ASSET_MAX_BYTES);
  if (!downloaded) return std::unexpected(downloaded.error());
  if (!digest_matches(asset.sha256, downloaded->digest)) {
    ::unlink(staged.part.c_str());  // a failure to delete changes nothing for the caller
    return fail("File pembaruan rusak (checksum tidak cocok).");
  }
  if (auto saved = save_error_message(rename_file(staged.part, staged.download)); !saved) {
    return saved;
  }
  // Through the descriptor the file was written with, so the mode lands on
  // that file whatever the download path names by now.
  if (::fchmod(downloaded->file.get(), NEW_EXECUTABLE_MODE) != 0) {
    return fail(os_error_text(errno));
  }
  downloaded->file.reset();
  if (auto installed = rename_file(staged.download, executable); !installed) {
    return fail(fmt::format("Gagal memasang helper baru: {}", installed.error().text()));
  }
  return {};
}

}  // namespace

Result<void> save_error_message(const OsResult<void>& renamed) {
  if (!renamed) return fail(fmt::format("Gagal menyimpan pembaruan: {}", renamed.error().text()));
  return {};
}

Result<std::optional<std::string>> run_update(const std::string& executable) {
  // Refused before anything is fetched: a staged file must never be the executable.
  auto staged = staged_paths(executable);
  if (!staged) return std::unexpected(staged.error());

  const std::string base = update_base_url();
  auto manifest_bytes = download_bytes(base + "/latest.json", MANIFEST_MAX_BYTES);
  if (!manifest_bytes) return std::unexpected(manifest_bytes.error());
  auto signature = download_bytes(base + "/latest.json.sig", SIGNATURE_MAX_BYTES);
  if (!signature) return std::unexpected(signature.error());
  if (auto verified = verify_manifest_signature(*manifest_bytes, *signature); !verified) {
    return std::unexpected(verified.error());
  }
  auto manifest = parse_manifest(*manifest_bytes);
  if (!manifest) return std::unexpected(manifest.error());

  if (!is_newer_version(manifest->version, HELPER_VERSION)) return std::optional<std::string>();
  const auto asset = manifest->assets.find(std::string(ASSET_KEY));
  if (asset == manifest->assets.end()) {
    return fail("Belum ada helper untuk platform ini di rilis terbaru.");
  }
  if (auto installed = install_asset(asset->second, executable, *staged); !installed) {
    return std::unexpected(installed.error());
  }
  return std::optional<std::string>(manifest->version);
}

}  // namespace tavi
