// The signed update manifest (latest.json): its records, the check of its
// detached signature, and its typed reading. The signature is checked first;
// the manifest is read only after it verified, on the same bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "tavi/json_reader.hpp"
#include "tavi/result.hpp"
#include "tavi/update/build_settings.hpp"

namespace tavi {

// One downloadable file of a release.
struct Asset {
  std::string url;
  std::string sha256;
  std::uint64_t size = 0;
  friend bool operator==(const Asset&, const Asset&) = default;
};

// One release. `assets` is ordered by the bytes of its keys.
struct Manifest {
  std::string version;
  std::string notes;
  std::string date;
  std::map<std::string, Asset> assets;
  friend bool operator==(const Manifest&, const Manifest&) = default;
};

// Succeeds when `signature_file` holds a strict Ed25519 signature of exactly
// the bytes of `manifest` under `public_key_text` (standard base64). Fails
// with one of three messages: the key is checked first, then the signature
// text, then the signature itself.
Result<void> verify_manifest_signature(std::string_view manifest, std::string_view signature_file,
                                       std::string_view public_key_text = UPDATE_PUBLIC_KEY);

// Reads one whole manifest document; failures read
// "Manifest pembaruan tidak dikenali: <JSON error at line L column C>".
Result<Manifest> parse_manifest(std::string_view manifest);

// Reads the `assets` object; a repeated key keeps its later Asset. Errors are
// the JSON reader's own texts, without the manifest prefix.
JsonTask<std::map<std::string, Asset>> parse_asset_map(JsonReader& reader);

// How type errors name the two records.
std::string_view write_asset_expected();
std::string_view write_manifest_expected();

}  // namespace tavi
