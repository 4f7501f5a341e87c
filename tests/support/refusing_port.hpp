// A port that refuses every connection at once, for servers that must be
// unreachable without any wait.
#pragma once

#include <cstdint>

namespace tavi::test {

// A TCP port on 127.0.0.1 that refuses connections for as long as this object
// lives: a socket is bound to it without address reuse and never listens, so
// no other program can listen there meanwhile.
class RefusingPort {
 public:
  // Throws std::runtime_error when no port can be bound.
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace tavi::test
