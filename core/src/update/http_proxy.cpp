#include "update/http_proxy.hpp"

#include <curl/curl.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace tavi {

namespace {

constexpr std::array<const char*, 6> PROXY_VARIABLES = {
    "ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy",
};
constexpr std::array<std::string_view, 6> PROXY_SCHEMES = {
    "http", "https", "socks4", "socks4a", "socks5", "socks5h",
};

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// The proxy URL with its scheme spelt out, or nothing when it does not parse,
// names no host or a scheme libcurl cannot use for a proxy.
std::optional<std::string> usable_proxy_url(std::string value) {
  if (value.find("://") == std::string::npos) value = "http://" + value;
  std::unique_ptr<CURLU, UrlCleanup> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, value.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
                  CURLUE_OK) {
    return std::nullopt;
  }
  char* scheme = nullptr;
  char* host = nullptr;
  const bool parts = curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                     curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK;
  bool usable = false;
  if (parts && host[0] != '\0') {
    for (std::string_view known : PROXY_SCHEMES) usable = usable || known == scheme;
  }
  curl_free(scheme);
  curl_free(host);
  if (!usable) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> read_environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> choose_proxy(const EnvironmentLookup& lookup) {
  for (const char* name : PROXY_VARIABLES) {
    const auto value = lookup(name);
    if (!value || value->empty()) continue;
    if (auto proxy = usable_proxy_url(*value)) return proxy;
  }
  return std::nullopt;
}

std::string choose_no_proxy(const EnvironmentLookup& lookup) {
  for (const char* name : {"NO_PROXY", "no_proxy"}) {
    if (auto value = lookup(name)) return *value;
  }
  return "";
}

}  // namespace tavi
