// The update client against a local test server: limits, statuses, redirects,
// gzip, time limits, proxies, and which of the two messages a failure gets.
#include "tavi/update/http.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include <curl/curl.h>

#include "http_test_server.hpp"
#include "tls_test_server.hpp"

namespace tavi {
namespace {

using testing::HttpReply;
using testing::HttpTestServer;

const std::string CONNECT_FAILED = "Tidak bisa menghubungi server pembaruan: ";
const std::string READ_FAILED = "Gagal mengunduh: ";

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY",
                             "http_proxy", "NO_PROXY", "no_proxy"}) {
      ::unsetenv(name);
    }
  }
  HttpTestServer server;
};

// A URL on loopback where nothing listens.
std::string refused_url() {
  HttpTestServer gone;
  return gone.url("/x");
}

TEST_F(HttpTest, BodyOfExactlyTheLimitIsReturnedOneByteMoreIsRefused) {
  server.serve("/f", "0123456789");
  EXPECT_EQ(download_bytes(server.url("/f"), 10), "0123456789");
  EXPECT_EQ(download_bytes(server.url("/f"), 9).error(),
            READ_FAILED + "the response body is larger than request limit: 9");
  server.serve("/empty", "");
  EXPECT_EQ(download_bytes(server.url("/empty"), 0), "");
}

TEST_F(HttpTest, ErrorStatusesFailBeforeAnyBodyIsTaken) {
  for (int status : {400, 404, 500, 599}) {
    const std::string target = "/s" + std::to_string(status);
    server.serve(target, HttpReply{.status = status, .body = "error page"});
    EXPECT_EQ(download_bytes(server.url(target), 1024).error(),
              CONNECT_FAILED + "http status: " + std::to_string(status));

    int heads = 0, chunks = 0;
    auto got = stream_get(
        build_http_agent(), server.url(target), 1024,
        {.on_head = [&]() -> Result<void> { return ++heads, Result<void>{}; },
         .on_chunk = [&](std::string_view) -> Result<void> { return ++chunks, Result<void>{}; }});
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().stage, GetStage::Request);
    EXPECT_EQ(heads + chunks, 0);
  }
}

TEST_F(HttpTest, TenRedirectsAreFollowedElevenFail) {
  server.serve("/end", "arrived");
  for (int i = 1; i <= 11; ++i) {
    server.redirect("/hop" + std::to_string(i), i == 1 ? "/end" : "/hop" + std::to_string(i - 1),
                    i % 2 ? 302 : 301);
  }
  EXPECT_EQ(download_bytes(server.url("/hop10"), 100), "arrived");
  auto eleven = download_bytes(server.url("/hop11"), 100);
  ASSERT_FALSE(eleven);
  EXPECT_TRUE(eleven.error().starts_with(CONNECT_FAILED)) << eleven.error();
  EXPECT_EQ(server.count("/end"), 1u);
}

TEST_F(HttpTest, GzipBodiesAreDecodedAndTheLimitCountsDecodedBytes) {
  const std::string plain(50000, 'a');
  const std::string coded = testing::gzip(plain);
  ASSERT_LT(coded.size(), 1000u);
  server.serve("/z", HttpReply{.headers = {{"Content-Encoding", "gzip"}}, .body = coded});
  EXPECT_EQ(download_bytes(server.url("/z"), 50000), plain);
  EXPECT_EQ(download_bytes(server.url("/z"), 49999).error(),
            READ_FAILED + "the response body is larger than request limit: 49999");

  server.serve("/bad", HttpReply{.headers = {{"Content-Encoding", "gzip"}}, .body = "not gzip"});
  auto corrupt = download_bytes(server.url("/bad"), 100);
  ASSERT_FALSE(corrupt);
  EXPECT_TRUE(corrupt.error().starts_with(READ_FAILED)) << corrupt.error();
}

TEST_F(HttpTest, RequestsCarryTheUserAgentAndAskForGzip) {
  server.serve("/f", "x");
  ASSERT_TRUE(download_bytes(server.url("/f"), 1));
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].headers.at("user-agent"), "tavi-updater/0.3.0");
  EXPECT_EQ(seen[0].headers.at("accept-encoding"), "gzip");
}

TEST_F(HttpTest, FailuresBeforeTheHeadAndAfterItGetTheirOwnMessage) {
  struct Case {
    const char* what;
    std::string url;
    std::string prefix;
  };
  server.serve("/cut", HttpReply{.body = "0123456789", .declared_length = 100});
  server.redirect("/to-file", "file:///etc/hostname");
  const std::vector<Case> cases = {
      {"connection refused", refused_url(), CONNECT_FAILED},
      {"empty url", "", CONNECT_FAILED},
      {"ftp scheme",
       std::string("ftp://127.0.0.1:").append(std::to_string(server.port())).append("/f"),
       CONNECT_FAILED},
      {"file scheme", "file:///etc/hostname", CONNECT_FAILED},
      {"redirect to a file url", server.url("/to-file"), CONNECT_FAILED},
      {"white space around the url", std::string(" ").append(server.url("/cut")), CONNECT_FAILED},
      {"connection cut in the body", server.url("/cut"), READ_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto got = download_bytes(c.url, 1000);
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().starts_with(c.prefix)) << got.error();
    EXPECT_GT(got.error().size(), c.prefix.size()) << "the client's text is missing";
  }
}

// libcurl refuses a text option longer than it accepts, as an older libcurl
// refuses an option it does not know: either fails that one call alone.
TEST_F(HttpTest, ASettingTheClientRefusesFailsThatCallAlone) {
  const std::string refused = curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT);
  const std::string too_long(8'000'001, 'a');
  server.serve("/f", "data");

  // A request setting: the URL.
  EXPECT_EQ(download_bytes(server.url("/") + too_long, 10).error(), CONNECT_FAILED + refused);

  // An agent setting: the proxy exceptions, taken from the environment.
  ::setenv("NO_PROXY", too_long.c_str(), 1);
  EXPECT_EQ(download_bytes(server.url("/f"), 10).error(), CONNECT_FAILED + refused);
  int calls = 0;
  auto streamed = stream_get(
      build_http_agent(), server.url("/f"), 10,
      {.on_head = [&]() -> Result<void> { return ++calls, Result<void>{}; },
       .on_chunk = [&](std::string_view) -> Result<void> { return ++calls, Result<void>{}; }});
  ASSERT_FALSE(streamed);
  EXPECT_EQ(streamed.error().stage, GetStage::Request);
  EXPECT_EQ(streamed.error().text, refused);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(server.count("/f"), 0u) << "nothing is sent with a refused setting";

  ::unsetenv("NO_PROXY");
  EXPECT_EQ(download_bytes(server.url("/f"), 10), "data");
}

TEST_F(HttpTest, TheWholeCallLimitCoversTheHeadAndTheBody) {
  const HttpTimeouts one_second{.whole_call = std::chrono::seconds(1)};
  server.serve("/slow-head", HttpReply{.body = "late", .head_delay = std::chrono::seconds(4)});
  server.serve("/slow-body",
               HttpReply{.body = "0123456789", .stall_after = 5, .stall = std::chrono::seconds(4)});
  for (const auto& [target, prefix] :
       {std::pair{"/slow-head", CONNECT_FAILED}, std::pair{"/slow-body", READ_FAILED}}) {
    SCOPED_TRACE(target);
    const auto start = std::chrono::steady_clock::now();
    auto got = download_bytes(server.url(target), 100, one_second);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().starts_with(prefix)) << got.error();
    EXPECT_GE(took, std::chrono::milliseconds(800));
    EXPECT_LT(took, std::chrono::milliseconds(3500));
  }
}

TEST_F(HttpTest, StreamedBodyStopsAfterExactlyTheLimit) {
  server.serve("/big", HttpReply{.fill_size = 300000});
  std::uint64_t received = 0;
  bool head_first = false;
  auto got = stream_get(build_http_agent(), server.url("/big"), 100000,
                        {.on_head = [&]() -> Result<void> {
                           head_first = received == 0;
                           return {};
                         },
                         .on_chunk = [&](std::string_view chunk) -> Result<void> {
                           received += chunk.size();
                           return {};
                         }});
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().stage, GetStage::Body);
  EXPECT_EQ(got.error().text, "the response body is larger than request limit: 100000");
  EXPECT_EQ(received, 100000u);
  EXPECT_TRUE(head_first);
}

TEST_F(HttpTest, HandlersCanRefuseAndTheirTextIsKept) {
  server.serve("/empty", "");
  server.serve("/f", "data");
  int heads = 0;
  auto empty =
      stream_get(build_http_agent(), server.url("/empty"), 10,
                 {.on_head = [&]() -> Result<void> { return ++heads, Result<void>{}; },
                  .on_chunk = [](std::string_view) -> Result<void> { return fail("no"); }});
  EXPECT_TRUE(empty);
  EXPECT_EQ(heads, 1) << "an empty body still has a head";

  auto head_refused = stream_get(build_http_agent(), server.url("/f"), 10,
                                 {.on_head = []() -> Result<void> { return fail("no file"); },
                                  .on_chunk = [](std::string_view) -> Result<void> { return {}; }});
  ASSERT_FALSE(head_refused);
  EXPECT_EQ(head_refused.error().stage, GetStage::Sink);
  EXPECT_EQ(head_refused.error().text, "no file");

  auto chunk_refused =
      stream_get(build_http_agent(), server.url("/f"), 10,
                 {.on_head = []() -> Result<void> { return {}; },
                  .on_chunk = [](std::string_view) -> Result<void> { return fail("disk full"); }});
  ASSERT_FALSE(chunk_refused);
  EXPECT_EQ(chunk_refused.error().stage, GetStage::Sink);
  EXPECT_EQ(chunk_refused.error().text, "disk full");
}

TEST_F(HttpTest, TheProxyComesFromTheVariablesInOurOrder) {
  // The test server plays the proxy: it sees the absolute URL as the target.
  const std::string remote = "http://127.0.0.1:1/release";
  server.serve(remote, "through the proxy");

  ::setenv("HTTPS_PROXY", server.url().c_str(), 1);  // used for http URLs as well
  EXPECT_EQ(download_bytes(remote, 100), "through the proxy");

  ::setenv("ALL_PROXY", "", 1);  // set but empty: skipped
  ::setenv("all_proxy", "::not a url::", 1);
  EXPECT_EQ(download_bytes(remote, 100), "through the proxy");

  ::setenv("no_proxy", "127.0.0.1", 1);
  auto direct = download_bytes(remote, 100);
  ASSERT_FALSE(direct);
  EXPECT_TRUE(direct.error().starts_with(CONNECT_FAILED)) << direct.error();
  EXPECT_EQ(server.count(remote), 2u);
}

TEST_F(HttpTest, ConcurrentDownloadsShareNothing) {
  server.serve("/f", HttpReply{.fill_size = 20000, .fill = 'q'});
  std::vector<std::thread> threads;
  std::vector<Result<std::string>> results(8);
  for (auto& result : results) {
    threads.emplace_back([&] { result = download_bytes(server.url("/f"), 20000); });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(result, std::string(20000, 'q'));
}

// The body of one GET by a plain libcurl handle that trusts `root` alone.
std::optional<std::string> fetch_trusting(const std::string& url, const std::string& root) {
  CURL* curl = curl_easy_init();
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, root.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
      });
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) return std::nullopt;
  return body;
}

TEST_F(HttpTest, HttpsServersMustChainToTheBuiltInRootsWhateverTheMachineTrusts) {
  testing::TlsTestServer tls;
  // The server is sound: a client that trusts its certificate gets the body.
  ASSERT_EQ(fetch_trusting(tls.url("/f"), tls.certificate()), "served over tls\n");

  auto refused = download_bytes(tls.url("/f"), 100);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().starts_with(CONNECT_FAILED + "SSL certificate problem"))
      << refused.error();

  // The places OpenSSL and libcurl would otherwise look for roots.
  ::setenv("SSL_CERT_FILE", tls.certificate().c_str(), 1);
  ::setenv("SSL_CERT_DIR", tls.certificate_folder().c_str(), 1);
  ::setenv("CURL_CA_BUNDLE", tls.certificate().c_str(), 1);
  auto still_refused = download_bytes(tls.url("/f"), 100);
  ASSERT_FALSE(still_refused);
  EXPECT_TRUE(still_refused.error().starts_with(CONNECT_FAILED)) << still_refused.error();
}

}  // namespace
}  // namespace tavi
