#include "sha256.hpp"

#include <sodium.h>

namespace tavi::testing {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

}  // namespace tavi::testing
