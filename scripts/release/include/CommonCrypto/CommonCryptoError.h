/* The one CommonCrypto status OpenSSL's random seeding on macOS compares with.
   Zig's macOS headers have no CommonCrypto; the function itself is exported by
   libSystem (libcommonCrypto). */
#ifndef TAVI_STUB_COMMON_CRYPTO_ERROR_H
#define TAVI_STUB_COMMON_CRYPTO_ERROR_H

#include <stdint.h>

typedef int32_t CCStatus;
typedef int32_t CCCryptorStatus;

enum { kCCSuccess = 0 };

#endif
