// A release server for the update tests: manifests signed with the test key
// that tavi-helper-testkey is built with, the assets, and the environment a
// helper under test is started with.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "harness.hpp"
#include "http_test_server.hpp"
#include "sha256.hpp"

namespace tavi::e2e {

std::string testkey_helper_binary();
std::string scheduler_probe_binary();

using testing::sha256_hex;
// The base64 Ed25519 signature of `message` under the test key.
std::string sign_with_test_key(std::string_view message);

struct ReleaseAsset {
  std::string url;
  std::string sha256;
  std::uint64_t size = 0;
};

// A manifest document with the given version and assets.
std::string manifest_json(const std::string& version,
                          const std::map<std::string, ReleaseAsset>& assets);

class ReleaseServer : public testing::HttpTestServer {
 public:
  // Serves the manifest and its signature under the base URL.
  void publish(const std::string& manifest);
  // Serves `content` at "/assets/helper" and publishes a manifest of
  // `version` whose darwin-aarch64-helper asset it is.
  void release(const std::string& version, const std::string& content);
};

// Scratch values for every TAVI_ variable, the update URL of `server`, and no
// proxy variables.
ChildEnvironment update_environment(const ScratchDir& scratch, const ReleaseServer& server);

}  // namespace tavi::e2e
