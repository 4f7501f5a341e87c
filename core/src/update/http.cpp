#include "tavi/update/http.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <initializer_list>

#include "tavi/text.hpp"
#include "update/http_proxy.hpp"
#include "update/web_roots.hpp"

namespace tavi {

namespace {

constexpr long MAX_REDIRECTS = 10;

// curl_global_init is not thread-safe: it runs once, before the first agent.
CURLcode start_curl() {
  static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
  return started;
}

// Success when libcurl took every option, else its text for the first it
// refused. A libcurl older than its headers (a Mac's own, say) refuses options
// it does not know: that fails the one call, never the process.
Result<void> all_accepted(std::initializer_list<CURLcode> codes) {
  for (const CURLcode code : codes) {
    if (code != CURLE_OK) return fail(curl_easy_strerror(code));
  }
  return {};
}

// The state of one streamed GET, shared with libcurl's callbacks.
struct Transfer {
  std::uint64_t limit = 0;
  const BodyHandlers* handlers = nullptr;
  std::uint64_t received = 0;
  bool head_arrived = false;
  // The header block being read: its status and whether it names a redirect.
  long block_status = 0;
  bool block_has_location = false;
  std::optional<GetError> error;  // set when a callback ended the transfer
};

std::string_view trim_header_value(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r' ||
                            value.back() == '\n')) {
    value.remove_suffix(1);
  }
  return value;
}

// The status of a status line ("HTTP/1.1 200 OK", "HTTP/2 404"), else 0.
long parse_status_line(std::string_view line) {
  if (!line.starts_with("HTTP/")) return 0;
  const auto space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) return 0;
  long status = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

// The final response head is in: the caller may take the body now.
bool accept_head(Transfer& t) {
  t.head_arrived = true;
  if (auto accepted = t.handlers->on_head(); !accepted) {
    t.error = GetError{GetStage::Sink, accepted.error()};
    return false;
  }
  return true;
}

// A header block ends. It is the final head unless it is an interim 1xx
// answer or a redirect that libcurl goes on to follow.
bool end_header_block(Transfer& t) {
  const long status = t.block_status;
  const bool followed = status >= 300 && status < 400 && t.block_has_location;
  t.block_status = 0;
  t.block_has_location = false;
  if (status < 200 || followed) return true;
  if (status >= 400 && status <= 599) {
    t.error = GetError{GetStage::Request, fmt::format("http status: {}", status)};
    return false;
  }
  return accept_head(t);
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  if (t.head_arrived) return length;  // trailers of a chunked body
  const std::string_view line(data, length);
  if (line == "\r\n" || line == "\n") return end_header_block(t) ? length : 0;
  if (const long status = parse_status_line(line); status != 0) {
    t.block_status = status;
    t.block_has_location = false;
  } else if (starts_with_ignoring_ascii_case(line, "location:")) {
    t.block_has_location = !trim_header_value(line.substr(9)).empty();
  }
  return length;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  if (!t.head_arrived && !accept_head(t)) return 0;
  const std::uint64_t room = t.limit - t.received;
  const bool over = length > room;
  const std::string_view chunk(data, over ? static_cast<std::size_t>(room) : length);
  if (!chunk.empty()) {
    if (auto taken = t.handlers->on_chunk(chunk); !taken) {
      t.error = GetError{GetStage::Sink, taken.error()};
      return 0;
    }
    t.received += chunk.size();
  }
  if (over) {
    t.error = GetError{GetStage::Body,
                       fmt::format("the response body is larger than request limit: {}", t.limit)};
    return 0;
  }
  return length;
}

}  // namespace

HttpAgent::HttpAgent(void* curl_handle) : handle_(curl_handle) {}

void HttpAgent::Cleanup::operator()(void* handle) const { curl_easy_cleanup(handle); }

Result<HttpAgent> build_http_agent() { return build_http_agent(HttpTimeouts{}); }

Result<HttpAgent> build_http_agent(const HttpTimeouts& timeouts) {
  if (const CURLcode started = start_curl(); started != CURLE_OK) {
    return fail(curl_easy_strerror(started));
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return fail(curl_easy_strerror(CURLE_FAILED_INIT));
  HttpAgent agent(curl);

  // Only the built-in web roots count, for the server and for an https proxy.
  curl_blob roots{const_cast<unsigned char*>(WEB_ROOTS_PEM), WEB_ROOTS_PEM_SIZE, CURL_BLOB_COPY};
  // An empty proxy and host list stop libcurl from reading the variables itself.
  const std::string proxy = choose_proxy().value_or("");
  const std::string no_proxy = choose_no_proxy();
  const std::string user_agent(UPDATE_USER_AGENT);
  const auto no_file = static_cast<const char*>(nullptr);
  auto accepted = all_accepted({
      curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent.c_str()),
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.whole_call.count())),
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                       static_cast<long>(timeouts.connect.count())),
      // Signals cannot serve a time limit in a program with several threads.
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
      curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)),
      curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L),
      curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS),
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"),
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"),
      curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip"),
      curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L),
      curl_easy_setopt(curl, CURLOPT_CAINFO, no_file),
      curl_easy_setopt(curl, CURLOPT_CAPATH, no_file),
      curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &roots),
      curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, no_file),
      curl_easy_setopt(curl, CURLOPT_PROXY_CAPATH, no_file),
      curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO_BLOB, &roots),
      curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str()),
      curl_easy_setopt(curl, CURLOPT_NOPROXY, no_proxy.c_str()),
      // A proxy tunnel's own "200 Connection established" is not the response head.
      curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
  });
  if (!accepted) return std::unexpected(accepted.error());
  return agent;
}

std::expected<void, GetError> stream_get(Result<HttpAgent> agent, const std::string& url,
                                         std::uint64_t limit, const BodyHandlers& handlers) {
  if (!agent) return std::unexpected(GetError{GetStage::Request, agent.error()});
  CURL* curl = agent->handle();
  Transfer transfer{.limit = limit, .handlers = &handlers};
  char details[CURL_ERROR_SIZE] = {};
  auto accepted = all_accepted({
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str()),
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L),
      curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, details),
      curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header),
      curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer),
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body),
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer),
  });
  if (!accepted) return std::unexpected(GetError{GetStage::Request, accepted.error()});

  const CURLcode code = curl_easy_perform(curl);
  if (transfer.error) return std::unexpected(*transfer.error);
  if (code != CURLE_OK) {
    const std::string text = details[0] != '\0' ? details : curl_easy_strerror(code);
    return std::unexpected(
        GetError{transfer.head_arrived ? GetStage::Body : GetStage::Request, text});
  }
  if (!transfer.head_arrived && !accept_head(transfer)) {
    return std::unexpected(*transfer.error);
  }
  return {};
}

Result<std::string> download_bytes(const std::string& url, std::uint64_t limit) {
  return download_bytes(url, limit, HttpTimeouts{});
}

Result<std::string> download_bytes(const std::string& url, std::uint64_t limit,
                                   const HttpTimeouts& timeouts) {
  std::string body;
  const BodyHandlers handlers{
      .on_head = []() -> Result<void> { return {}; },
      .on_chunk = [&](std::string_view chunk) -> Result<void> {
        body.append(chunk);
        return {};
      },
  };
  auto got = stream_get(build_http_agent(timeouts), url, limit, handlers);
  if (!got) {
    if (got.error().stage == GetStage::Request) {
      return fail(fmt::format("Tidak bisa menghubungi server pembaruan: {}", got.error().text));
    }
    return fail(fmt::format("Gagal mengunduh: {}", got.error().text));
  }
  return body;
}

}  // namespace tavi
