#include "tavi/update/manifest.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

constexpr std::string_view PREFIX = "Manifest pembaruan tidak dikenali: ";

Asset asset(std::string url, std::string sha256, std::uint64_t size) {
  return Asset{std::move(url), std::move(sha256), size};
}

struct AcceptedCase {
  std::string json;
  Manifest expected;
};

TEST(ManifestRead, AcceptedForms) {
  const Asset helper = asset("https://x/h", "ab", 5);
  const AcceptedCase cases[] = {
      {R"({"version":"0.4.0","assets":{}})", {"0.4.0", "", "", {}}},
      {R"({"assets":{},"date":"2024-01-02","notes":"n","version":"1"})",
       {"1", "n", "2024-01-02", {}}},
      {R"({"version":"1","notes":"a\nb \u00e9","date":" d ","assets":{}})",
       {"1", "a\nb \xc3\xa9", " d ", {}}},
      {R"(["1","n","d",{}])", {"1", "n", "d", {}}},
      {R"({"version":"1","assets":{"darwin-aarch64-helper":{"url":"https://x/h","sha256":"ab","size":5}}})",
       {"1", "", "", {{"darwin-aarch64-helper", helper}}}},
      {R"({"version":"1","assets":{"k":["https://x/h","ab",5]}})", {"1", "", "", {{"k", helper}}}},
      {R"({"version":"1","assets":{"k":{"size":5,"extra":[{"x":null}],"sha256":"ab","url":"https://x/h"}}})",
       {"1", "", "", {{"k", helper}}}},
      // A repeated asset key keeps the later entry.
      {R"({"version":"1","assets":{"k":{"url":"u","sha256":"s","size":1},"k":["https://x/h","ab",5]}})",
       {"1", "", "", {{"k", helper}}}},
      {R"({"version":"1","assets":{"k":["u","s",18446744073709551615]}})",
       {"1", "", "", {{"k", asset("u", "s", 18446744073709551615u)}}}},
      {R"({"version":"1","assets":{"k":["u","s",0]}})", {"1", "", "", {{"k", asset("u", "s", 0)}}}},
      // Unknown keys are skipped with any value, also repeated.
      {R"({"x":1,"x":{"a":[1,2,{"b":"\u0000"}]},"Version":5,"version":"1","assets":{}})",
       {"1", "", "", {}}},
      {" \t\r\n{\"version\":\"1\",\"assets\":{}} \r\n\t\n", {"1", "", "", {}}},
  };
  for (const AcceptedCase& c : cases) {
    SCOPED_TRACE(c.json);
    const auto manifest = parse_manifest(c.json);
    ASSERT_TRUE(manifest) << manifest.error();
    EXPECT_EQ(*manifest, c.expected);
  }
}

TEST(ManifestRead, AssetsAreOrderedByKeyBytes) {
  const auto manifest = parse_manifest(
      R"({"version":"1","assets":{"b":["u","s",1],"\u00e9":["u","s",2],"B":["u","s",3],"a":["u","s",4]}})");
  ASSERT_TRUE(manifest) << manifest.error();
  std::vector<std::string> keys;
  for (const auto& [key, value] : manifest->assets) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b", "\xc3\xa9"}));
}

struct RefusedCase {
  std::string json;
  std::string error;  // after the prefix
};

TEST(ManifestRead, RefusedInputsGiveTheReaderError) {
  const std::string v = R"({"version":"1","assets":)";
  const RefusedCase cases[] = {
      {"", "The document is empty at line 1 column 0"},
      {R"({"notes":"n"})", "missing field `version` at line 1 column 13"},
      {R"({"notes":"n","assets":{}})", "missing field `version` at line 1 column 25"},
      {R"({"version":"1"})", "missing field `assets` at line 1 column 15"},
      {R"({"version":"1","assets":{},"assets":{}})",
       "duplicate field `assets` at line 1 column 35"},
      {R"({"version":"1","version":{"deep":[)", "duplicate field `version` at line 1 column 24"},
      {R"({"version":"1","notes":null,"assets":{}})",
       "invalid type: null, expected a string at line 1 column 27"},
      {R"({"version":1,"assets":{}})",
       "invalid type: integer `1`, expected a string at line 1 column 12"},
      {R"([])", "invalid length 0, expected struct Manifest with 4 elements at line 1 column 2"},
      {R"(["1"])", "invalid length 3, expected struct Manifest with 4 elements at line 1 column 5"},
      {R"(["1","n"])",
       "invalid length 3, expected struct Manifest with 4 elements at line 1 column 9"},
      {R"(["1","n","d"])",
       "invalid length 3, expected struct Manifest with 4 elements at line 1 column 13"},
      {R"(["1","n","d",{},"x"])", "trailing characters at line 1 column 19"},
      {R"("1.0")", "invalid type: string \"1.0\", expected struct Manifest at line 1 column 5"},
      {R"(null)", "invalid type: null, expected struct Manifest at line 1 column 4"},
      {v + "[]}", "invalid type: sequence, expected a map at line 1 column 25"},
      {v + "null}", "invalid type: null, expected a map at line 1 column 28"},
      {v + R"({"k":"u"}})",
       "invalid type: string \"u\", expected struct Asset at line 1 column 32"},
      {v + R"({"k":{"sha256":"s","size":1}}})", "missing field `url` at line 1 column 52"},
      {v + R"({"k":{"url":"u","size":1}}})", "missing field `sha256` at line 1 column 49"},
      {v + R"({"k":{"url":"u","sha256":"s"}}})", "missing field `size` at line 1 column 53"},
      {v + R"({"k":{"url":"u","url":"u"}}})", "duplicate field `url` at line 1 column 45"},
      {v + R"({"k":[]}})",
       "invalid length 0, expected struct Asset with 3 elements at line 1 column 31"},
      {v + R"({"k":["u"]}})",
       "invalid length 1, expected struct Asset with 3 elements at line 1 column 34"},
      {v + R"({"k":["u","s"]}})",
       "invalid length 2, expected struct Asset with 3 elements at line 1 column 38"},
      {v + R"({"k":["u","s",1,2]}})", "trailing characters at line 1 column 41"},
      {v + R"({"k":["u","s",-1]}})",
       "invalid value: integer `-1`, expected u64 at line 1 column 40"},
      {v + R"({"k":["u","s",1.0]}})",
       "invalid type: floating point `1.0`, expected u64 at line 1 column 41"},
      {v + R"({"k":["u","s",1e3]}})",
       "invalid type: floating point `1000.0`, expected u64 at line 1 column 41"},
      {v + R"({"k":["u","s",1e400]}})",
       "invalid type: floating point `inf`, expected u64 at line 1 column 43"},
      {v + R"({"k":["u","s","1"]}})",
       "invalid type: string \"1\", expected u64 at line 1 column 41"},
      {v + R"({"k":["u",null,1]}})", "invalid type: null, expected a string at line 1 column 38"},
      // A repeated asset key still needs a well-formed later value.
      {v + R"({"k":["u","s",1],"k":["u","s"]}})",
       "invalid length 2, expected struct Asset with 3 elements at line 1 column 54"},
      {R"({"version":"1","assets":{}}x)", "trailing characters at line 1 column 28"},
      {R"({"version":"1","assets":{}}{})", "trailing characters at line 1 column 28"},
      {"{\"version\":\"1\",\n\"assets\":{}}\n\n ,", "trailing characters at line 4 column 2"},
      {"\xef\xbb\xbf{\"version\":\"1\",\"assets\":{}}", "Invalid value at line 1 column 1"},
      {"{\"version\":\"\xff\",\"assets\":{}}", "invalid unicode code point at line 1 column 14"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.json);
    const auto manifest = parse_manifest(c.json);
    ASSERT_FALSE(manifest);
    EXPECT_EQ(manifest.error(), std::string(PREFIX) + c.error);
  }
}

TEST(ManifestRead, UnknownValuesAreSkippedAtAnyDepth) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(parse_manifest(
      R"({"version":"1","assets":{"k":{"url":"u","sha256":"s","size":1,"x":)" + deep + "}}}"));
  EXPECT_TRUE(parse_manifest(R"({"version":"1","x":[1e999,"\ud800"],"assets":{}})"));
}

}  // namespace
}  // namespace tavi
