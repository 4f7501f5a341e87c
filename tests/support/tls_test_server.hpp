// An https server on 127.0.0.1 with a freshly made self-signed certificate
// for 127.0.0.1 (made with the openssl program, served by tls_server.py).
// It answers every GET with "served over tls\n" once a client trusts it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tavi::testing {

class TlsTestServer {
 public:
  TlsTestServer();
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  // "https://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path = "") const;
  // The PEM file of the certificate, the one root that would trust it.
  const std::string& certificate() const { return certificate_; }
  // A folder holding only the certificate, in the hashed form OpenSSL looks up.
  const std::string& certificate_folder() const { return folder_; }

 private:
  std::string dir_;
  std::string certificate_;
  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace tavi::testing
