// The self-updater's HTTP client: where the release files lie, an agent with
// the updater's settings, and GET requests with a byte limit on the decoded
// body. Every call builds its own agent; nothing is shared between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::string_view UPDATE_USER_AGENT = "tavi-updater/0.3.0";
inline constexpr std::chrono::milliseconds HTTP_GLOBAL_TIMEOUT = std::chrono::seconds(600);
inline constexpr std::chrono::milliseconds HTTP_CONNECT_TIMEOUT = std::chrono::seconds(15);

// TAVI_UPDATE_URL when it is set and valid UTF-8 (even when empty), else
// DEFAULT_UPDATE_URL; every trailing '/' removed. Reads the environment at
// every call.
std::string update_base_url();

// The two time limits of an agent; tests shorten them.
struct HttpTimeouts {
  std::chrono::milliseconds whole_call = HTTP_GLOBAL_TIMEOUT;
  std::chrono::milliseconds connect = HTTP_CONNECT_TIMEOUT;
};

// One HTTP client agent (a libcurl easy handle) for one request. The proxy is
// taken from the environment when the agent is built.
class HttpAgent {
 public:
  explicit HttpAgent(void* curl_handle);
  void* handle() const { return handle_.get(); }

 private:
  struct Cleanup {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, Cleanup> handle_;
};

// A new agent with the updater's settings, or the HTTP client's text for the
// first setting it refused.
Result<HttpAgent> build_http_agent();
Result<HttpAgent> build_http_agent(const HttpTimeouts& timeouts);

// Where a streamed GET stopped.
enum class GetStage {
  Request,  // before the final response head had arrived (statuses 400 to 599 included)
  Body,     // while the body arrived (cut connection, time limit, gzip error, over the limit)
  Sink,     // a handler of the caller refused; the text is the handler's own
};

struct GetError {
  GetStage stage;
  std::string text;
};

// The caller's side of a streamed GET: `on_head` runs once, when the final
// response head has arrived; `on_chunk` then gets the decoded body piece by
// piece. Either may refuse with a message, which ends the request.
struct BodyHandlers {
  std::function<Result<void>()> on_head;
  std::function<Result<void>(std::string_view chunk)> on_chunk;
};

// One GET of `url` on `agent`. At most `limit` decoded body bytes reach
// `on_chunk`; one byte more ends the request with a Body error after the
// first `limit` bytes were handed over. An agent that could not be built, or a
// request setting the client refuses, is a Request error with the client's text.
std::expected<void, GetError> stream_get(Result<HttpAgent> agent, const std::string& url,
                                         std::uint64_t limit, const BodyHandlers& handlers);

// The whole body of one GET, at most `limit` bytes, or
// "Tidak bisa menghubungi server pembaruan: {}" (before the response head) or
// "Gagal mengunduh: {}" (while the body arrived).
Result<std::string> download_bytes(const std::string& url, std::uint64_t limit);
Result<std::string> download_bytes(const std::string& url, std::uint64_t limit,
                                   const HttpTimeouts& timeouts);

}  // namespace tavi
