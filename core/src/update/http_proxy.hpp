// The proxy an update agent uses, chosen from the environment by us rather
// than by libcurl, whose own lookup depends on the URL's scheme.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavi {

// Reads one environment variable; nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

std::optional<std::string> read_environment(const char* name);

// The first of ALL_PROXY, all_proxy, HTTPS_PROXY, https_proxy, HTTP_PROXY,
// http_proxy that holds a usable proxy URL (a missing scheme means http).
std::optional<std::string> choose_proxy(const EnvironmentLookup& lookup = read_environment);

// The host list of NO_PROXY, else of no_proxy; empty when neither is set.
std::string choose_no_proxy(const EnvironmentLookup& lookup = read_environment);

}  // namespace tavi
