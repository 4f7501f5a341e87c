// A small HTTP/1.1 server on 127.0.0.1 for tests of the update client: fixed
// replies per request target, redirects, slow or cut bodies, and a log of the
// requests it saw. One connection per request; every reply closes it.
//
// `mutex_` guards `replies_`, `requests_` and `workers_`; the worker threads
// take it only to look up a reply and to log a request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tavi::testing {

struct HttpReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // When set, the body is this many copies of `fill` instead of `body`.
  std::optional<std::uint64_t> fill_size;
  char fill = 'x';
  // Content-Length as declared; a larger value than the body makes a cut body.
  std::optional<std::uint64_t> declared_length;
  std::chrono::milliseconds head_delay{0};
  // After this many body bytes, wait `stall` before sending the rest.
  std::uint64_t stall_after = 0;
  std::chrono::milliseconds stall{0};
};

struct SeenRequest {
  std::string target;  // as sent: a path, or an absolute URL through a proxy
  std::map<std::string, std::string> headers;  // names in lower case
  std::chrono::steady_clock::time_point at;    // when its head was read
};

class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path = "") const;

  // Targets without a reply are answered with 404.
  void serve(std::string target, HttpReply reply);
  void serve(std::string target, std::string body);
  void redirect(std::string target, std::string location, int status = 302);

  std::vector<SeenRequest> requests() const;
  std::size_t count(std::string_view target) const;

 private:
  void accept_loop();
  void answer(int fd);
  // Sleeps up to `pause`; false when the server is stopping.
  bool pause_for(std::chrono::milliseconds pause);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::condition_variable stop_signal_;
  std::map<std::string, HttpReply> replies_;
  std::vector<SeenRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// The gzip form of `data`.
std::string gzip(std::string_view data);

}  // namespace tavi::testing
