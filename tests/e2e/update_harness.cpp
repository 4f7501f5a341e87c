#include "update_harness.hpp"

#include <sodium.h>

#include <stdexcept>

#include "tavi/json_writer.hpp"

namespace tavi::e2e {

std::string testkey_helper_binary() { return TAVI_TESTKEY_HELPER_BINARY; }
std::string scheduler_probe_binary() { return TAVI_SCHEDULER_PROBE_BINARY; }

std::string sign_with_test_key(std::string_view message) {
  const std::string text = read_file(TAVI_UPDATE_TEST_KEY_FILE);
  unsigned char secret[crypto_sign_SECRETKEYBYTES];
  std::size_t length = 0;
  if (sodium_base642bin(secret, sizeof secret, text.data(), text.size(), "\n", &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      length != sizeof secret) {
    throw std::runtime_error("the test key fixture does not decode");
  }
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), secret);
  char base64[sodium_base64_ENCODED_LEN(crypto_sign_BYTES, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(base64, sizeof base64, signature, sizeof signature,
                    sodium_base64_VARIANT_ORIGINAL);
  return base64;
}

std::string manifest_json(const std::string& version,
                          const std::map<std::string, ReleaseAsset>& assets) {
  std::string out = "{\"version\":";
  append_json_string(out, version);
  out += ",\"notes\":\"\",\"date\":\"2026-01-01\",\"assets\":{";
  bool first = true;
  for (const auto& [key, asset] : assets) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, key);
    out += ":{\"url\":";
    append_json_string(out, asset.url);
    out += ",\"sha256\":";
    append_json_string(out, asset.sha256);
    out += ",\"size\":" + std::to_string(asset.size) + "}";
  }
  out += "}}\n";
  return out;
}

void ReleaseServer::publish(const std::string& manifest) {
  serve("/latest.json", manifest);
  serve("/latest.json.sig", sign_with_test_key(manifest) + "\n");
}

void ReleaseServer::release(const std::string& version, const std::string& content) {
  serve("/assets/helper", content);
  publish(manifest_json(version, {{"darwin-aarch64-helper",
                                   {"assets/helper", sha256_hex(content), content.size()}}}));
}

ChildEnvironment update_environment(const ScratchDir& scratch, const ReleaseServer& server) {
  ChildEnvironment env;
  env.set = {
      {"TAVI_CONFIG", scratch.file("config.json")},
      {"TAVI_HOSTS_FILE", scratch.file("hosts")},
      {"TAVI_IPC_ADDR", "127.0.0.1:" + std::to_string(free_loopback_port())},
      {"TAVI_LOOPBACK", "127.79.0.2"},
      {"TAVI_UPDATE_URL", server.url()},
  };
  env.unset = {"ALL_PROXY",  "all_proxy",  "HTTPS_PROXY", "https_proxy",
               "HTTP_PROXY", "http_proxy", "NO_PROXY",    "no_proxy"};
  return env;
}

}  // namespace tavi::e2e
