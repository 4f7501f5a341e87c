"""What the release executable must be like beyond running on a Mac, shared by
scripts/release-macos (which builds it so) and scripts/check-release (which
reads it back)."""

# OpenSSL's own folders, which nothing on a Mac holds: no file there can
# change TLS settings (and OpenSSL is built never to read its configuration).
OPENSSL_DIR = "/var/empty/tavi-helper-openssl"

# What the built code sees in place of the cache folder and of the checkout,
# in file names the compiler writes into objects (__FILE__, debug info).
CACHE_SEEN_AS = "/tavi-cache"
CHECKOUT_SEEN_AS = "/tavi-helper"

# select() as libSystem exports it: the variant _DARWIN_UNLIMITED_SELECT picks
# takes an nfds past FD_SETSIZE; the others fail with EINVAL past 1024.
SELECT_LARGE_SETS = "_select$DARWIN_EXTSN"
SELECT_SMALL_SETS = {"_select", "_select$1050", "_select$NOCANCEL", "_select$UNIX2003", "_select$NOCANCEL$UNIX2003"}

# What libcurl must not carry: NTLM and its delegation to Samba's ntlm_auth.
NTLM_MARKS = {b"ntlm_auth": "NTLM delegation to ntlm_auth", b"\0NTLM\0": "NTLM authentication",
              b"\0NTLM_WB\0": "NTLM delegation (NTLM_WB)"}
