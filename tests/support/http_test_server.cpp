#include "http_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace tavi::testing {

namespace {

const char* reason_of(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Reads the request head; nothing when the client sent none.
std::optional<SeenRequest> read_request(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || head.size() > 65536) return std::nullopt;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  SeenRequest request;
  request.at = std::chrono::steady_clock::now();
  std::size_t line_end = head.find("\r\n");
  const std::string first = head.substr(0, line_end);
  const auto a = first.find(' ');
  const auto b = first.rfind(' ');
  if (a == std::string::npos || b <= a) return std::nullopt;
  request.target = first.substr(a + 1, b - a - 1);
  std::size_t pos = line_end + 2;
  while ((line_end = head.find("\r\n", pos)) != pos && line_end != std::string::npos) {
    const std::string line = head.substr(pos, line_end - pos);
    if (const auto colon = line.find(':'); colon != std::string::npos) {
      std::size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      request.headers[lower(line.substr(0, colon))] = line.substr(v);
    }
    pos = line_end + 2;
  }
  return request;
}

}  // namespace

HttpTestServer::HttpTestServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("test HTTP server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard lock(mutex_);  // a worker between its check and its wait sees it
    stopping_ = true;
  }
  ::shutdown(listener_, SHUT_RDWR);
  stop_signal_.notify_all();
  acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker.join();
  ::close(listener_);
}

std::string HttpTestServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HttpTestServer::serve(std::string target, HttpReply reply) {
  std::lock_guard lock(mutex_);
  replies_[std::move(target)] = std::move(reply);
}

void HttpTestServer::serve(std::string target, std::string body) {
  serve(std::move(target), HttpReply{.body = std::move(body)});
}

void HttpTestServer::redirect(std::string target, std::string location, int status) {
  serve(std::move(target), HttpReply{.status = status, .headers = {{"Location", location}}});
}

std::vector<SeenRequest> HttpTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t HttpTestServer::count(std::string_view target) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                [&](const auto& r) { return r.target == target; }));
}

void HttpTestServer::accept_loop() {
  while (!stopping_) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    timeval limit{.tv_sec = 10, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, fd] {
      answer(fd);
      ::close(fd);
    });
  }
}

bool HttpTestServer::pause_for(std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  return !stop_signal_.wait_for(lock, pause, [&] { return stopping_.load(); });
}

void HttpTestServer::answer(int fd) {
  auto request = read_request(fd);
  if (!request) return;
  HttpReply reply{.status = 404, .body = "not found"};
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(*request);
    if (auto found = replies_.find(request->target); found != replies_.end()) reply = found->second;
  }
  const std::uint64_t size = reply.fill_size.value_or(reply.body.size());
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason_of(reply.status) +
                     "\r\nConnection: close\r\n";
  head += "Content-Length: " + std::to_string(reply.declared_length.value_or(size)) + "\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  head += "\r\n";
  if (reply.head_delay.count() > 0 && !pause_for(reply.head_delay)) return;
  if (!send_all(fd, head)) return;

  // The body in pieces, so a large filled body never sits in memory whole.
  const std::string fill_piece(reply.fill_size ? 65536 : 0, reply.fill);
  std::uint64_t sent = 0;
  while (sent < size) {
    if (reply.stall.count() > 0 && sent == reply.stall_after && !pause_for(reply.stall)) return;
    std::uint64_t piece = std::min<std::uint64_t>(size - sent, 65536);
    if (reply.stall.count() > 0 && sent < reply.stall_after) {
      piece = std::min(piece, reply.stall_after - sent);
    }
    const std::string_view data = reply.fill_size
                                      ? std::string_view(fill_piece).substr(0, piece)
                                      : std::string_view(reply.body).substr(sent, piece);
    if (!send_all(fd, data)) return;
    sent += piece;
  }
  ::shutdown(fd, SHUT_WR);
}

std::string gzip(std::string_view data) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(stream.total_out);
  return out;
}

}  // namespace tavi::testing
