// The detached signature of the update manifest: strict Ed25519 over the
// manifest's exact bytes, through libsodium.
#include <sodium.h>

#include <algorithm>
#include <array>
#include <optional>

#include "tavi/fatal.hpp"
#include "tavi/text.hpp"
#include "tavi/update/manifest.hpp"

namespace tavi {

namespace {

constexpr std::string_view BAD_KEY = "Kunci publik pembaruan tidak valid.";
constexpr std::string_view BAD_SIGNATURE_TEXT = "Tanda tangan pembaruan rusak.";
constexpr std::string_view SIGNATURE_MISMATCH =
    "Tanda tangan pembaruan tidak cocok, pembaruan diabaikan.";

void ensure_sodium_ready() {
  // sodium_init() is safe to call from several threads; a local static makes
  // it run once.
  static const int ready = sodium_init();
  if (ready < 0) die("libsodium tidak bisa dimulai");
}

// Strict standard base64 (padding required, no white space inside, unused low
// bits zero) that decodes to exactly N bytes.
template <std::size_t N>
std::optional<std::array<unsigned char, N>> decode_base64_exact(std::string_view text) {
  // One spare byte, so a longer result is refused rather than cut.
  std::array<unsigned char, N + 1> bytes{};
  std::size_t length = 0;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                        nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      length != N) {
    return std::nullopt;
  }
  std::array<unsigned char, N> out{};
  std::copy_n(bytes.begin(), N, out.begin());
  return out;
}

}  // namespace

Result<void> verify_manifest_signature(std::string_view manifest, std::string_view signature_file,
                                       std::string_view public_key_text) {
  ensure_sodium_ready();

  const auto key =
      decode_base64_exact<crypto_sign_PUBLICKEYBYTES>(trim_white_space(public_key_text));
  // Only bytes that do not decode as a curve point make the key invalid:
  // adding the point to itself decodes it and checks nothing more. A key of
  // small order decodes, and is refused by the verification below instead.
  std::array<unsigned char, crypto_core_ed25519_BYTES> doubled{};
  if (!key || crypto_core_ed25519_add(doubled.data(), key->data(), key->data()) != 0)
    return fail(std::string(BAD_KEY));

  const std::string signature_text = utf8_lossy(signature_file);
  const auto signature = decode_base64_exact<crypto_sign_BYTES>(trim_white_space(signature_text));
  if (!signature) return fail(std::string(BAD_SIGNATURE_TEXT));

  // libsodium's verification is the strict one: canonical S, and neither R
  // nor the key of small order.
  if (crypto_sign_verify_detached(signature->data(),
                                  reinterpret_cast<const unsigned char*>(manifest.data()),
                                  manifest.size(), key->data()) != 0) {
    return fail(std::string(SIGNATURE_MISMATCH));
  }
  return {};
}

}  // namespace tavi
