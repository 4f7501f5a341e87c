#include <sodium.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tavi/update/manifest.hpp"

namespace tavi {
namespace {

constexpr std::string_view BAD_KEY = "Kunci publik pembaruan tidak valid.";
constexpr std::string_view BAD_SIGNATURE_TEXT = "Tanda tangan pembaruan rusak.";
constexpr std::string_view MISMATCH = "Tanda tangan pembaruan tidak cocok, pembaruan diabaikan.";

using Signature = std::array<unsigned char, crypto_sign_BYTES>;

std::string to_base64(const unsigned char* bytes, std::size_t length) {
  std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

// A key pair of the test's own, and signatures made with it.
class ManifestSignature : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    crypto_sign_keypair(public_key_.data(), secret_key_.data());
    key_text_ = to_base64(public_key_.data(), public_key_.size());
  }

  Signature sign(std::string_view message) const {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         secret_key_.data());
    return signature;
  }
  std::string sign_text(std::string_view message) const {
    const Signature signature = sign(message);
    return to_base64(signature.data(), signature.size());
  }

  std::string verify(std::string_view manifest, std::string_view signature_file) const {
    return message_of(verify_manifest_signature(manifest, signature_file, key_text_));
  }
  static std::string message_of(const Result<void>& result) {
    return result ? std::string("ok") : result.error();
  }

  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> public_key_{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret_key_{};
  std::string key_text_;
  const std::string manifest_ = R"({"version":"0.4.0","assets":{}})"
                                "\n";
};

TEST_F(ManifestSignature, GoodSignatureVerifiesWithWhiteSpaceAroundIt) {
  const std::string text = sign_text(manifest_);
  ASSERT_EQ(text.size(), 88u);
  ASSERT_EQ(text.substr(86), "==");
  for (const std::string& file :
       {text, text + "\n", text + "\r\n", "  " + text + " \t\n", "\n" + text + "\xe2\x80\x83"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(verify(manifest_, file), "ok");
  }
  // The empty manifest is a message like any other.
  EXPECT_EQ(verify("", sign_text("")), "ok");
  // The key text may carry white space around it too.
  EXPECT_EQ(message_of(verify_manifest_signature(manifest_, text, " " + key_text_ + "\n")), "ok");
}

TEST_F(ManifestSignature, MalformedSignatureTextIsBroken) {
  const std::string text = sign_text(manifest_);
  std::string url_alphabet = text;
  for (char& c : url_alphabet) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  const Signature signature = sign(manifest_);
  std::array<unsigned char, 65> longer{};
  std::copy(signature.begin(), signature.end(), longer.begin());

  std::vector<std::string> files = {
      "",
      " \n",
      text.substr(0, 86),  // no padding
      text + "=",          // surplus padding
      text.substr(0, 40) + "\n" + text.substr(40),
      text.substr(0, 40) + " " + text.substr(40),
      to_base64(signature.data(), 63),
      to_base64(longer.data(), longer.size()),
      text + "\nxyz",
      "\xff" + text,               // U+FFFD is no base64 character
      text.substr(0, 85) + "B==",  // low bits after the data must be zero
  };
  // Only differs when the signature holds '+' or '/'; make sure one does.
  if (url_alphabet != text) files.push_back(url_alphabet);
  std::string forced = text;
  forced[0] = forced[0] == '+' ? '-' : '_';
  files.push_back(forced);

  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    EXPECT_EQ(verify(manifest_, file), BAD_SIGNATURE_TEXT);
  }
}

TEST_F(ManifestSignature, ChangedManifestDoesNotMatch) {
  const std::string text = sign_text(manifest_);
  std::string changed = manifest_;
  changed[3] ^= 0x01;
  for (const std::string& other :
       {changed, manifest_ + "\n", manifest_.substr(0, manifest_.size() - 1), manifest_.substr(1),
        " " + manifest_, std::string(manifest_.substr(0, 10)) + "\r" + manifest_.substr(10)}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(verify(other, text), MISMATCH);
  }
  // A valid signature made by another key does not match either.
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> other_public{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> other_secret{};
  crypto_sign_keypair(other_public.data(), other_secret.data());
  Signature foreign{};
  crypto_sign_detached(foreign.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(manifest_.data()), manifest_.size(),
                       other_secret.data());
  EXPECT_EQ(verify(manifest_, to_base64(foreign.data(), foreign.size())), MISMATCH);
}

// The group order of the curve, little-endian.
constexpr std::array<unsigned char, 32> GROUP_ORDER = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

TEST_F(ManifestSignature, NonCanonicalSIsRefused) {
  Signature signature = sign(manifest_);
  std::array<unsigned char, 32> s_b{};
  ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(s_b.data(), signature.data() + 32), 0);
  // S + l satisfies the same equation, as the points have order l.
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = signature[32 + i] + GROUP_ORDER[i] + carry;
    signature[32 + i] = static_cast<unsigned char>(sum);
    carry = sum >> 8;
  }
  ASSERT_EQ(carry, 0u);
  ASSERT_EQ(signature[63] & 0x80, 0);
  std::array<unsigned char, 32> s_plus_l_b{};
  ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(s_plus_l_b.data(), signature.data() + 32), 0);
  ASSERT_EQ(s_plus_l_b, s_b);
  EXPECT_EQ(verify(manifest_, to_base64(signature.data(), signature.size())), MISMATCH);
}

TEST_F(ManifestSignature, SmallOrderRIsRefusedEvenWhereTheEquationHolds) {
  // R = the identity point. With S = k * a (a the secret scalar, k the hash of
  // R, A and M), [S]B - [k]A is the identity, so only the small-order check
  // can refuse it.
  Signature signature{};
  signature[0] = 0x01;

  std::array<unsigned char, 64> expanded{};
  crypto_hash_sha512(expanded.data(), secret_key_.data(), 32);  // the seed
  expanded[0] &= 248;
  expanded[31] &= 127;
  expanded[31] |= 64;
  std::array<unsigned char, 64> wide_a{};
  std::copy_n(expanded.begin(), 32, wide_a.begin());
  std::array<unsigned char, 32> a{};
  crypto_core_ed25519_scalar_reduce(a.data(), wide_a.data());

  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, signature.data(), 32);
  crypto_hash_sha512_update(&state, public_key_.data(), public_key_.size());
  crypto_hash_sha512_update(&state, reinterpret_cast<const unsigned char*>(manifest_.data()),
                            manifest_.size());
  std::array<unsigned char, 64> wide_k{};
  crypto_hash_sha512_final(&state, wide_k.data());
  std::array<unsigned char, 32> k{};
  crypto_core_ed25519_scalar_reduce(k.data(), wide_k.data());
  crypto_core_ed25519_scalar_mul(signature.data() + 32, k.data(), a.data());

  // The equation holds: [S]B equals [k]A.
  std::array<unsigned char, 32> s_b{};
  std::array<unsigned char, 32> k_a{};
  ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(s_b.data(), signature.data() + 32), 0);
  ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(k_a.data(), k.data(), public_key_.data()), 0);
  ASSERT_EQ(s_b, k_a);

  EXPECT_EQ(verify(manifest_, to_base64(signature.data(), signature.size())), MISMATCH);
}

TEST_F(ManifestSignature, BadKeyIsReportedFirst) {
  const std::string good = sign_text(manifest_);
  std::array<unsigned char, 32> not_a_point{};
  // y = 2 has no x on the curve.
  not_a_point[0] = 0x02;
  ASSERT_NE(crypto_core_ed25519_is_valid_point(not_a_point.data()), 1);
  std::array<unsigned char, 33> long_key{};
  std::copy(public_key_.begin(), public_key_.end(), long_key.begin());

  const std::vector<std::string> keys = {
      "",
      "not base64!",
      key_text_.substr(0, 43),  // padding missing
      key_text_.substr(0, 20) + "\n" + key_text_.substr(20),
      to_base64(public_key_.data(), 31),
      to_base64(long_key.data(), long_key.size()),
      to_base64(not_a_point.data(), not_a_point.size()),
  };
  for (const std::string& key : keys) {
    SCOPED_TRACE(key);
    EXPECT_EQ(message_of(verify_manifest_signature(manifest_, good, key)), BAD_KEY);
    // Before the signature text is even looked at.
    EXPECT_EQ(message_of(verify_manifest_signature(manifest_, "", key)), BAD_KEY);
  }
}

TEST_F(ManifestSignature, SmallOrderKeyDecodesAndIsRefusedByTheVerification) {
  // The identity point: a point of the curve, of order 1.
  std::array<unsigned char, 32> identity{};
  identity[0] = 0x01;
  const std::string key = to_base64(identity.data(), identity.size());
  EXPECT_EQ(message_of(verify_manifest_signature(manifest_, sign_text(manifest_), key)), MISMATCH);
  EXPECT_EQ(message_of(verify_manifest_signature(manifest_, "", key)), BAD_SIGNATURE_TEXT);
}

TEST_F(ManifestSignature, BuiltInKeyIsAValidKey) {
  // Whatever key the build carries, it decodes: a wrong signature is refused
  // by the check itself, not as a broken key.
  EXPECT_EQ(message_of(verify_manifest_signature(manifest_, sign_text(manifest_))), MISMATCH);
}

}  // namespace
}  // namespace tavi
