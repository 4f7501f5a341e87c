// The JSON token layer and the typed readers built on it.
//
// RapidJSON's iterative (non-recursive) SAX reader tokenises the input, and
// each token goes straight to the typed reader (configuration, control
// request, update manifest) as it is found: the typed readers are recursive
// descent coroutines (JsonTask) over their own, shallow record types that
// await one token at a time. Nothing is stored but the one token in hand, so
// reading costs the records being built and RapidJSON's own stack. A value
// that is only skipped never wakes a coroutine: the reader counts its brackets
// as the tokens pass. The first wrong token ends the reading at once, before
// RapidJSON looks at the rest. Errors read "description at line L column C".
#pragma once

#include <array>
#include <bitset>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavi/json_task.hpp"
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
  // String and Key: the decoded text, in RapidJSON's buffer. It is valid only
  // until the reader waits for the next token: copy what you keep first.
  // Float: the literal (in the input) of a number beyond a double, whose
  // value float_value does not hold; empty otherwise.
  std::string_view text;
  std::size_t end = 0;  // input offset just past the token
};

// Most nested arrays and objects a typed reader descends into.
inline constexpr int JSON_MAX_DEPTH = 127;

// Coroutine frames for one JsonReader: a frame that ended waits in a free
// list of its size class for the next frame of that class. Every frame must
// have ended before the pool goes.
class JsonFramePool {
 public:
  JsonFramePool() = default;
  JsonFramePool(const JsonFramePool&) = delete;
  JsonFramePool& operator=(const JsonFramePool&) = delete;
  ~JsonFramePool();

  void* allocate(std::size_t size);
  static void release(void* frame, std::size_t size) noexcept;

 private:
  static constexpr std::size_t CLASS_BYTES = 64;
  static constexpr std::size_t CLASSES = 32;
  std::array<void*, CLASSES> free_{};
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view input) : input_(input) {}
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Reads the input as one document: its tokens go to `root` as RapidJSON
  // finds them, and only JSON white space may follow the value.
  template <class T>
  Result<T> read(JsonTask<T> root) {
    run(root.handle());
    Result<T> result = root.take_result();
    if (result) {
      if (auto rest = finish(); !rest) return fail(rest.error());
    }
    return result;
  }

  // co_await next(): the next token, or the syntax error that stopped
  // tokenising.
  auto next() { return NextAwaiter{*this}; }
  // co_await peek_kind(): the kind of the next token without taking it;
  // nothing at the end or at a syntax error (next() then reports it).
  auto peek_kind() { return PeekAwaiter{*this}; }
  // co_await skip_value(): reads and skips one whole value.
  auto skip_value() { return SkipAwaiter{*this}; }
  // co_await next_as(convert): convert(reader, next token or error), without
  // a coroutine frame of its own.
  template <class Convert>
  auto next_as(Convert convert) {
    return ConvertAwaiter<Convert>{*this, std::move(convert)};
  }

  // `description` followed by " at line L column C" for the position just
  // past the last token taken.
  std::string error_here(std::string_view description) const;

  // Nesting of typed values: enter() before reading an array or object into
  // a record or list, leave() after it.
  Result<void> enter();
  void leave() { --depth_; }

 private:
  friend struct JsonTokenHandler;
  friend void* allocate_json_frame(JsonReader& reader, std::size_t size);

  struct NextAwaiter {
    JsonReader& reader;
    bool await_ready() const { return reader.token_ready(); }
    void await_suspend(std::coroutine_handle<> waiting) { reader.wait(waiting); }
    Result<JsonToken> await_resume() { return reader.take(); }
  };
  struct PeekAwaiter {
    JsonReader& reader;
    bool await_ready() const { return reader.token_ready(); }
    void await_suspend(std::coroutine_handle<> waiting) { reader.wait(waiting); }
    std::optional<JsonKind> await_resume() const {
      if (!reader.slot_) return std::nullopt;
      return reader.slot_->kind;
    }
  };
  template <class Convert>
  struct ConvertAwaiter {
    JsonReader& reader;
    Convert convert;
    bool await_ready() const { return reader.token_ready(); }
    void await_suspend(std::coroutine_handle<> waiting) { reader.wait(waiting); }
    auto await_resume() { return convert(std::as_const(reader), reader.take()); }
  };
  struct SkipAwaiter {
    JsonReader& reader;
    bool await_ready() { return reader.start_skip(); }
    void await_suspend(std::coroutine_handle<> waiting) { reader.wait(waiting); }
    Result<void> await_resume() { return reader.end_skip(); }
  };

  // Runs `root` up to its first wait, then RapidJSON over the input.
  void run(std::coroutine_handle<> root);
  // Only JSON white space after the value that was read.
  Result<void> finish() const;
  std::string located(std::string_view description, std::size_t line_end) const;

  bool token_ready() const { return slot_.has_value() || ended_; }
  void wait(std::coroutine_handle<> waiting) { waiting_ = waiting; }
  Result<JsonToken> take();
  std::string end_error() const;
  // Whether the value to skip is over already; otherwise the handler counts
  // its tokens until it is.
  bool start_skip();
  Result<void> end_skip();

  JsonFramePool frames_;
  std::string_view input_;
  // The token RapidJSON found and nobody took yet.
  std::optional<JsonToken> slot_;
  // The coroutine waiting for the next token, or for the end of a skip.
  std::coroutine_handle<> waiting_;
  // While skipping: the brackets still open in the skipped value.
  bool skipping_ = false;
  std::ptrdiff_t skip_depth_ = 0;
  // Set when RapidJSON stopped; every wait after that ends with the reason.
  bool ended_ = false;
  bool syntax_error_ = false;
  std::string syntax_error_text_;
  std::size_t syntax_error_offset_ = 0;
  std::size_t consumed_end_ = 0;
  int depth_ = 0;
};

// How serde-style messages name what was found: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe_json_token(const JsonToken& token);
// "invalid type: {found}, expected {expected}" at the current position.
std::string invalid_json_type(const JsonReader& reader, const JsonToken& token,
                              std::string_view expected);

// What one token read gives, each of them for the token just taken.
// A JSON string, decoded; any other value and text that is not UTF-8 fail.
Result<std::string> json_string_value(const JsonReader& reader, const Result<JsonToken>& token,
                                      std::string_view expected = "a string");
// A JSON integer from 0 to `max`, written without fraction or exponent.
Result<std::uint64_t> json_unsigned_value(const JsonReader& reader, const Result<JsonToken>& token,
                                          std::uint64_t max, std::string_view expected);
// Inside an object: the next member's key (checked for UTF-8; in RapidJSON's
// buffer, like a token's text), or nothing when the token closes the object.
Result<std::optional<std::string_view>> json_member_key(const JsonReader& reader,
                                                        const Result<JsonToken>& token);

// co_await read_json_string(reader) and the like: a read of one token that
// needs no coroutine of its own (most fields are one token, and a coroutine
// frame for each would cost more than the token).
inline auto read_json_string(JsonReader& reader, std::string_view expected = "a string") {
  return reader.next_as([expected](const JsonReader& r, const Result<JsonToken>& token) {
    return json_string_value(r, token, expected);
  });
}
// A JSON string stored into `field`, which must outlive the await.
inline auto read_json_string_into(JsonReader& reader, std::string& field) {
  return reader.next_as(
      [&field](const JsonReader& r, const Result<JsonToken>& token) -> Result<void> {
        auto value = json_string_value(r, token);
        if (!value) return fail(value.error());
        field = std::move(*value);
        return {};
      });
}
inline auto read_json_unsigned(JsonReader& reader, std::uint64_t max, std::string_view expected) {
  return reader.next_as([max, expected](const JsonReader& r, const Result<JsonToken>& token) {
    return json_unsigned_value(r, token, max, expected);
  });
}
inline auto read_json_member_key(JsonReader& reader) { return reader.next_as(json_member_key); }

// A JSON array, its elements read one after the other by `element(reader)`,
// a JsonTask or a one-token read. `list` must outlive the reading.
template <class T, class Element>
JsonTask<void> read_json_list(JsonReader& reader, Element element, std::vector<T>& list,
                              std::string_view expected = "a sequence");

// One field of a record, in field order.
struct JsonField {
  std::string_view key;
  bool required;
};

// The position of the field named exactly `key`, or nothing for a key to skip.
std::optional<std::size_t> match_json_field(std::span<const JsonField> fields,
                                            std::string_view key);

// What a record reader knows of its record: `name` is how errors name it
// ("struct Config"), `match` maps a key to a field index. The strings must
// outlive the reading.
struct JsonRecord {
  std::string_view name;
  std::span<const JsonField> fields;
  std::optional<std::size_t> (*match)(std::string_view key);
};
inline constexpr std::size_t JSON_MAX_RECORD_FIELDS = 32;

// The steps of a record read that need no token of their own.
// Takes the opening bracket: whether the record comes in its array form.
Result<bool> open_json_record(JsonReader& reader, const JsonRecord& record,
                              const Result<JsonToken>& open);
// The array form ended before required field `index`.
std::string json_record_too_short(const JsonReader& reader, const JsonRecord& record,
                                  std::size_t index);
// The array form's closing bracket, after its last field.
Result<void> close_json_record_array(JsonReader& reader, const Result<JsonToken>& close);
std::string json_duplicate_field(const JsonReader& reader, const JsonRecord& record,
                                 std::size_t field);
// The object form has closed: every required field must have been seen.
Result<void> close_json_record_object(JsonReader& reader, const JsonRecord& record,
                                      const std::bitset<JSON_MAX_RECORD_FIELDS>& seen);

// A record in its object form (members in any order, unknown keys skipped, a
// known key refused when repeated, the first missing required field
// reported) or its array form (field values in order, optional trailing
// fields may be left out). `read_field(reader, value, i)` reads the value of
// field i into the record.
template <class T, class ReadField>
JsonTask<T> read_json_record(JsonReader& reader, JsonRecord record, ReadField read_field) {
  T value{};
  const auto array_form = open_json_record(reader, record, co_await reader.next());
  if (!array_form) co_return fail(array_form.error());

  if (*array_form) {
    for (std::size_t i = 0; i < record.fields.size(); ++i) {
      const std::optional<JsonKind> kind = co_await reader.peek_kind();
      if (!kind) {
        auto end = co_await reader.next();
        co_return fail(end.error());
      }
      if (*kind == JsonKind::EndArray) {
        if (!record.fields[i].required) continue;
        (void)co_await reader.next();
        co_return fail(json_record_too_short(reader, record, i));
      }
      auto read = co_await read_field(reader, value, i);
      if (!read) co_return fail(read.error());
    }
    auto closed = close_json_record_array(reader, co_await reader.next());
    if (!closed) co_return fail(closed.error());
    co_return std::move(value);
  }

  std::bitset<JSON_MAX_RECORD_FIELDS> seen;
  for (;;) {
    const auto key = json_member_key(reader, co_await reader.next());
    if (!key) co_return fail(key.error());
    if (!*key) break;
    const std::optional<std::size_t> field = record.match(**key);
    if (!field) {
      auto skipped = co_await reader.skip_value();
      if (!skipped) co_return fail(skipped.error());
      continue;
    }
    if (seen[*field]) co_return fail(json_duplicate_field(reader, record, *field));
    seen[*field] = true;
    auto read = co_await read_field(reader, value, *field);
    if (!read) co_return fail(read.error());
  }
  auto closed = close_json_record_object(reader, record, seen);
  if (!closed) co_return fail(closed.error());
  co_return std::move(value);
}

template <class T, class Element>
JsonTask<void> read_json_list(JsonReader& reader, Element element, std::vector<T>& list,
                              std::string_view expected) {
  auto open = co_await reader.next();
  if (!open) co_return fail(open.error());
  if (open->kind != JsonKind::BeginArray)
    co_return fail(invalid_json_type(reader, *open, expected));
  if (auto entered = reader.enter(); !entered) co_return entered;
  for (;;) {
    const std::optional<JsonKind> kind = co_await reader.peek_kind();
    if (!kind) {
      auto end = co_await reader.next();
      co_return fail(end.error());
    }
    if (*kind == JsonKind::EndArray) break;
    auto value = co_await element(reader);
    if (!value) co_return fail(value.error());
    list.push_back(std::move(*value));
  }
  (void)co_await reader.next();
  reader.leave();
  co_return {};
}

}  // namespace tavi
