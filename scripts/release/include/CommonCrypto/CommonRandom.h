/* CCRandomGenerateBytes, which OpenSSL 3.0 seeds from on macOS 10.12 and
   later: the operating system's random generator, exported by libSystem. */
#ifndef TAVI_STUB_COMMON_RANDOM_H
#define TAVI_STUB_COMMON_RANDOM_H

#include <stddef.h>

#include <CommonCrypto/CommonCryptoError.h>

typedef CCCryptorStatus CCRNGStatus;

CCRNGStatus CCRandomGenerateBytes(void *bytes, size_t count);

#endif
