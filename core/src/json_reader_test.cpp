#include "tavi/json_reader.hpp"

#include <gtest/gtest.h>

#include <array>
#include <variant>

#include "tavi/update/manifest.hpp"

namespace tavi {
namespace {

// A small record of our own, read by the same helpers the real readers use.
struct Pair {
  std::string name;
  std::vector<std::uint64_t> numbers;
  friend bool operator==(const Pair&, const Pair&) = default;
};

constexpr std::array<JsonField, 2> PAIR_FIELDS{{{"name", true}, {"numbers", false}}};

std::optional<std::size_t> match_pair_field(std::string_view key) {
  return match_json_field(PAIR_FIELDS, key);
}

auto read_small_number(JsonReader& reader) {
  return read_json_unsigned(reader, 1000, "a small number");
}

JsonTask<void> read_pair_field(JsonReader& reader, Pair& pair, std::size_t field) {
  if (field == 0) co_return co_await read_json_string_into(reader, pair.name);
  co_return co_await read_json_list(reader, read_small_number, pair.numbers);
}

JsonTask<Pair> read_pair(JsonReader& reader) {
  return read_json_record<Pair>(reader, {"struct Pair", PAIR_FIELDS, match_pair_field},
                                read_pair_field);
}

JsonTask<std::vector<Pair>> read_pairs(JsonReader& reader) {
  std::vector<Pair> pairs;
  auto read = co_await read_json_list(reader, read_pair, pairs);
  if (!read) co_return fail(read.error());
  co_return pairs;
}

Result<std::vector<Pair>> parse_pairs(std::string_view text) {
  JsonReader reader(text);
  return reader.read(read_pairs(reader));
}

struct PairsCase {
  std::string json;
  std::variant<std::vector<Pair>, std::string> expected;  // the pairs, or the error
};

TEST(JsonReader, RecordsListsAndSkips) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  std::string flat = "[";
  for (int i = 0; i < 10000; ++i) flat += "1,\"x\",";
  flat += "null]";
  const std::vector<PairsCase> cases = {
      {R"([{"name":"a","numbers":[1,2]},["b"],["c",[1000]]])",
       std::vector<Pair>{{"a", {1, 2}}, {"b", {}}, {"c", {1000}}}},
      {"[]", std::vector<Pair>{}},
      // Skipped values of any depth and size, with what RapidJSON alone refuses inside.
      {R"([{"skip":[[[{"x":1e400}]],"\ud800",-1E+400],"name":"a","skip":{"\udbff":0e400}}])",
       std::vector<Pair>{{"a", {}}}},
      {R"([{"skip":)" + deep + R"(,"name":"a","skip":)" + flat + "}]",
       std::vector<Pair>{{"a", {}}}},
      {R"([{"skip":"\ud800\udc00","name":"\ud83d\ude00"}])",
       std::vector<Pair>{{"\xf0\x9f\x98\x80", {}}}},
      // RapidJSON's own error, also while a value is being skipped.
      {R"([{"name":"a","skip":[[1,2}])",
       "Missing a comma or ']' after an array element at line 1 column 26"},
      {R"([{"skip":[1e400,{"a":"\ud800"})",
       "Missing a comma or ']' after an array element at line 1 column 30"},
      {R"([{"name":"a")", "Missing a comma or '}' after an object member at line 1 column 12"},
      // A typed error stops the reading before a later syntax error is reached.
      {R"([{"name":5,"skip":[}])",
       "invalid type: integer `5`, expected a string at line 1 column 10"},
      {R"([["a",[1,1001]],)",
       "invalid value: integer `1001`, expected a small number at line 1 column 13"},
      {R"([{"name":"a","name":"b"}])", "duplicate field `name` at line 1 column 19"},
      {R"([{"numbers":[]}])", "missing field `name` at line 1 column 15"},
      {R"([[]])", "invalid length 0, expected struct Pair with 2 elements at line 1 column 3"},
      {R"([["a",[],1]])", "trailing characters at line 1 column 10"},
      {R"([["a",[1e400]]])",
       "invalid type: floating point `inf`, expected a small number at line 1 column 12"},
      {R"([5])", "invalid type: integer `5`, expected struct Pair at line 1 column 2"},
      {"[] x", "trailing characters at line 1 column 4"},
      {"[]\n\n  ]", "trailing characters at line 3 column 3"},
      {"", "The document is empty at line 1 column 0"},
  };
  for (const PairsCase& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 80));
    const auto pairs = parse_pairs(c.json);
    if (const auto* expected = std::get_if<std::vector<Pair>>(&c.expected)) {
      ASSERT_TRUE(pairs) << pairs.error();
      EXPECT_EQ(*pairs, *expected);
    } else {
      ASSERT_FALSE(pairs);
      EXPECT_EQ(pairs.error(), std::get<std::string>(c.expected));
    }
  }
}

// Arrays of arrays, each level entered as a typed value.
JsonTask<int> read_nest(JsonReader& reader) {
  auto open = co_await reader.next();
  if (!open) co_return fail(open.error());
  if (open->kind != JsonKind::BeginArray)
    co_return fail(invalid_json_type(reader, *open, "a nest"));
  if (auto entered = reader.enter(); !entered) co_return fail(entered.error());
  int depth = 1;
  if (co_await reader.peek_kind() == JsonKind::BeginArray) {
    auto inner = co_await read_nest(reader);
    if (!inner) co_return fail(inner.error());
    depth += *inner;
  }
  auto close = co_await reader.next();
  if (!close) co_return fail(close.error());
  reader.leave();
  co_return depth;
}

TEST(JsonReader, TypedValuesNestAtMost127Levels) {
  const auto nest = [](std::size_t depth) {
    const std::string text = std::string(depth, '[') + std::string(depth, ']');
    JsonReader reader(text);
    return reader.read(read_nest(reader));
  };
  EXPECT_EQ(nest(1), 1);
  EXPECT_EQ(nest(127), 127);
  EXPECT_EQ(nest(128).error(), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(nest(100000).error(), "recursion limit exceeded at line 1 column 128");
}

// Where RapidJSON refuses a number beyond a double or a lone high surrogate,
// it is shown a stand-in; every other message and position stays RapidJSON's.
TEST(JsonReader, MessagesAroundNumbersBeyondADoubleAndLoneSurrogates) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"x":"\ud800\uZZZZ","version":"1","assets":{}})",
       "Incorrect hex digit after \\u escape in string at line 1 column 7"},
      {R"({"x":"\ud800\u00","version":"1","assets":{}})",
       "Incorrect hex digit after \\u escape in string at line 1 column 7"},
      // Once a stand-in was shown, a broken escape after a high surrogate is
      // reported where it stands.
      {R"({"x":"\ud800","y":"\ud800\uZZZZ","version":"1","assets":{}})",
       "Incorrect hex digit after \\u escape in string at line 1 column 26"},
      {R"({"x":1e400,"y":"\ud800\uZZZZ","version":"1","assets":{}})",
       "Incorrect hex digit after \\u escape in string at line 1 column 23"},
      {R"({"x":[1e400,"\ud800",{"\udbff":-1E+400}],"version":1,"assets":{}})",
       "invalid type: integer `1`, expected a string at line 1 column 52"},
      {R"({"version":"1","x":[[["\ud800",1e999,2}])",
       "Missing a comma or ']' after an array element at line 1 column 39"},
      {R"({"version":"\ud800","assets":{}})", "invalid unicode code point at line 1 column 19"},
      {R"({"x":"\ud800","version":"\ud800\ud800","assets":{}})",
       "invalid unicode code point at line 1 column 38"},
      {R"({"x":1e400 1,"version":"1","assets":{}})",
       "Missing a comma or '}' after an object member at line 1 column 12"},
      {"{\"version\":\"1\",\n\"x\":[1e400,\n\"\\ud800\"],\n\"assets\":{\"k\":[\"u\",\"s\",-5]}}",
       "invalid value: integer `-5`, expected u64 at line 4 column 25"},
      {R"({"version":"1","assets":{}}   1e400)", "trailing characters at line 1 column 31"},
      {R"([1e400])", "invalid type: floating point `inf`, expected a string at line 1 column 6"},
      {R"({"x":-1e400,"version":"1","assets":{"k":{"url":"u","sha256":"s","size":-1e400}}})",
       "invalid type: floating point `-inf`, expected u64 at line 1 column 77"},
      {R"({"version":"1","assets":{"k":["u","s",0.5e999]}})",
       "invalid type: floating point `inf`, expected u64 at line 1 column 45"},
      {R"({"version":"1","assets":{"k":["u","s",0e400]}})",
       "invalid type: floating point `0.0`, expected u64 at line 1 column 43"},
  };
  for (const auto& [json, error] : cases) {
    SCOPED_TRACE(json);
    const auto manifest = parse_manifest(json);
    ASSERT_FALSE(manifest);
    EXPECT_EQ(manifest.error(), "Manifest pembaruan tidak dikenali: " + error);
  }
}

}  // namespace
}  // namespace tavi
