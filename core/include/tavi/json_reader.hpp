// The JSON token layer and the typed readers built on it.
//
// The whole input is tokenised once by RapidJSON's iterative (non-recursive)
// SAX reader; typed readers (configuration, control requests, the update
// manifest) then walk the tokens by recursive descent over their own, shallow
// record types. Unknown members are skipped by counting nesting, so no input
// can exhaust the stack. Errors read "description at line L column C".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavi/result.hpp"

namespace tavi {

enum class JsonKind : std::uint8_t {
  Null,
  Bool,
  Negative,  // an integer below zero
  Unsigned,  // an integer from 0 to 2^64 - 1
  Float,     // a number with a fraction or an exponent, or out of integer range
  String,
  Key,
  BeginObject,
  EndObject,
  BeginArray,
  EndArray,
};

struct JsonToken {
  JsonKind kind = JsonKind::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
  double float_value = 0;
  std::uint32_t text_offset = 0;  // String and Key: the decoded text in the reader's arena
  std::uint32_t text_length = 0;
  std::size_t end = 0;  // input offset just past the token
};

// Most nested arrays and objects a typed reader descends into.
inline constexpr int JSON_MAX_DEPTH = 127;

class JsonReader {
 public:
  explicit JsonReader(std::string_view input);

  // The next token, or the syntax error that stopped tokenising.
  Result<JsonToken> next();
  // The kind of the next token without taking it; nothing at the end or at a
  // syntax error (next() then reports it).
  std::optional<JsonKind> peek_kind() const;
  std::string_view text(const JsonToken& token) const;

  // Skips the rest of a value whose first token was already taken.
  Result<void> skip_value_after(const JsonToken& first);
  // Reads and skips one whole value.
  Result<void> skip_value();
  // Only JSON white space may follow the value that was read.
  Result<void> finish() const;

  // `description` followed by " at line L column C" for the position just
  // past the last token taken.
  std::string error_here(std::string_view description) const;

  // Nesting of typed values: enter() before reading an array or object into
  // a record or list, leave() after it.
  Result<void> enter();
  void leave() { --depth_; }

 private:
  friend struct JsonTokenCollector;
  // Takes RapidJSON's tokens of `text`, which has the input's offsets;
  // `numbers` holds the values of numbers rewritten in it (json_taming.hpp).
  unsigned tokenise(std::string_view text,
                    const std::vector<std::pair<std::size_t, double>>& numbers);
  std::string located(std::string_view description, std::size_t line_end) const;

  std::string_view input_;
  std::vector<JsonToken> tokens_;
  std::string arena_;
  std::size_t next_ = 0;
  std::size_t consumed_end_ = 0;
  bool syntax_error_ = false;
  std::string syntax_error_text_;
  std::size_t syntax_error_offset_ = 0;
  int depth_ = 0;
};

// How serde-style messages name what was found: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe_json_token(const JsonReader& reader, const JsonToken& token);
// "invalid type: {found}, expected {expected}" at the current position.
std::string invalid_json_type(const JsonReader& reader, const JsonToken& token,
                              std::string_view expected);

// A JSON string, decoded; fails on any other value and on text that is not UTF-8.
Result<std::string> read_json_string(JsonReader& reader, std::string_view expected = "a string");
// A JSON integer from 0 to `max`, written without fraction or exponent.
Result<std::uint64_t> read_json_unsigned(JsonReader& reader, std::uint64_t max,
                                         std::string_view expected);
// A JSON array; `element` reads one element each time it is called.
Result<void> read_json_array(JsonReader& reader, const std::function<Result<void>()>& element,
                             std::string_view expected = "a sequence");

// Inside an object, after its opening brace or a member's value: the next
// member's key (checked for UTF-8), or nothing when the object ends here.
Result<std::optional<std::string_view>> read_json_member_key(JsonReader& reader);

// A JSON string stored into `field`.
Result<void> read_json_string_into(JsonReader& reader, std::string& field);

// One field of a record, in field order.
struct JsonField {
  std::string_view key;
  bool required;
};

// The position of the field named exactly `key`, or nothing for a key to skip.
std::optional<std::size_t> match_json_field(std::span<const JsonField> fields, std::string_view key);

// Reads a record in its object form (members in any order, unknown keys
// skipped, a known key refused when repeated, the first missing required field
// reported) or its array form (field values in order, optional trailing fields
// may be left out). `match` maps a key to a field index; `read_field` reads
// field i's value. `name` is how errors name the record ("struct Config").
Result<void> read_json_record(JsonReader& reader, std::string_view name,
                              std::span<const JsonField> fields,
                              const std::function<std::optional<std::size_t>(std::string_view)>& match,
                              const std::function<Result<void>(std::size_t)>& read_field);

}  // namespace tavi
