#include "tavi/json_reader.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstdlib>
#include <utility>

#include <fmt/format.h>

#include "json_allocator.hpp"
#include "json_input_stream.hpp"
#include "tavi/fatal.hpp"
#include "tavi/text.hpp"

namespace tavi {

namespace {

// A text in double quotes with quotes, backslashes and control characters
// escaped, as error messages show a string that was found.
std::string quote_for_message(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace

// Receives RapidJSON's SAX events. A token of a value being skipped only
// moves the bracket count; every other token goes into the reader's slot and
// wakes the coroutine waiting for it. Returning false stops RapidJSON: nobody
// waits any more, because the outermost reader has finished (or failed).
struct JsonTokenHandler {
  using Ch = char;
  JsonReader& reader;
  const JsonInputStream& stream;

  bool skip(int bracket, std::size_t end) {
    reader.consumed_end_ = end;
    reader.skip_depth_ += bracket;
    if (reader.skip_depth_ > 0) return true;
    reader.skipping_ = false;
    return wake();
  }
  bool wake() {
    std::exchange(reader.waiting_, {}).resume();
    return static_cast<bool>(reader.waiting_);
  }
  bool deliver(JsonToken token) {
    if (reader.skipping_) return skip(0, token.end);
    if (!reader.waiting_) return false;
    reader.slot_ = token;
    return wake();
  }
  // RapidJSON reports brackets before it takes them from the stream.
  bool bracket(JsonKind kind, int depth_change) {
    const std::size_t end = stream.Tell() + 1;
    if (reader.skipping_) return skip(depth_change, end);
    return deliver({.kind = kind, .end = end});
  }

  bool Null() { return deliver({.kind = JsonKind::Null, .end = stream.Tell()}); }
  bool Bool(bool b) {
    return deliver({.kind = JsonKind::Bool, .boolean = b, .end = stream.Tell()});
  }
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Uint64(u); }
  bool Int64(std::int64_t i) {
    // RapidJSON reports "-0" through Int; it is a negative literal all the same.
    return deliver(
        {.kind = JsonKind::Negative, .negative_value = i >= 0 ? -i : i, .end = stream.Tell()});
  }
  bool Uint64(std::uint64_t u) {
    return deliver({.kind = JsonKind::Unsigned, .unsigned_value = u, .end = stream.Tell()});
  }
  bool Double(double d) {
    return deliver({.kind = JsonKind::Float,
                    .float_value = d,
                    .text = stream.rewritten_number_ending_at(stream.Tell()),
                    .end = stream.Tell()});
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    return deliver({.kind = JsonKind::String, .text = {s, n}, .end = stream.Tell()});
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    return deliver({.kind = JsonKind::Key, .text = {s, n}, .end = stream.Tell()});
  }
  bool StartObject() { return bracket(JsonKind::BeginObject, 1); }
  bool EndObject(rapidjson::SizeType) { return bracket(JsonKind::EndObject, -1); }
  bool StartArray() { return bracket(JsonKind::BeginArray, 1); }
  bool EndArray(rapidjson::SizeType) { return bracket(JsonKind::EndArray, -1); }
};

namespace {

// In front of every pooled frame: its pool, or nothing for a frame too big
// to pool; once the frame ended, also the next free frame of its class.
struct FrameHeader {
  JsonFramePool* pool;
  void* next_free;
};
constexpr std::size_t FRAME_HEADER = (sizeof(FrameHeader) + alignof(std::max_align_t) - 1) /
                                     alignof(std::max_align_t) * alignof(std::max_align_t);

FrameHeader& header_of(void* frame) {
  return *reinterpret_cast<FrameHeader*>(static_cast<char*>(frame) - FRAME_HEADER);
}

}  // namespace

JsonFramePool::~JsonFramePool() {
  for (void* frame : free_) {
    while (frame != nullptr) {
      void* next = header_of(frame).next_free;
      ::operator delete(static_cast<char*>(frame) - FRAME_HEADER);
      frame = next;
    }
  }
}

void* JsonFramePool::allocate(std::size_t size) {
  const std::size_t size_class = (size + CLASS_BYTES - 1) / CLASS_BYTES;
  JsonFramePool* pool = size_class < CLASSES ? this : nullptr;
  if (pool != nullptr && free_[size_class] != nullptr) {
    void* frame = free_[size_class];
    free_[size_class] = header_of(frame).next_free;
    return frame;
  }
  const std::size_t bytes = pool != nullptr ? size_class * CLASS_BYTES : size;
  void* frame = static_cast<char*>(::operator new(FRAME_HEADER + bytes)) + FRAME_HEADER;
  header_of(frame) = {pool, nullptr};
  return frame;
}

void JsonFramePool::release(void* frame, std::size_t size) noexcept {
  FrameHeader& header = header_of(frame);
  if (header.pool == nullptr) {
    ::operator delete(static_cast<char*>(frame) - FRAME_HEADER);
    return;
  }
  const std::size_t size_class = (size + CLASS_BYTES - 1) / CLASS_BYTES;
  header.next_free = header.pool->free_[size_class];
  header.pool->free_[size_class] = frame;
}

void* allocate_json_frame(JsonReader& reader, std::size_t size) {
  return reader.frames_.allocate(size);
}

void release_json_frame(void* frame, std::size_t size) noexcept {
  JsonFramePool::release(frame, size);
}

void JsonReader::run(std::coroutine_handle<> root) {
  root.resume();
  if (!waiting_) return;
  JsonInputStream stream(input_);
  JsonTokenHandler handler{*this, stream};
  JsonStackAllocator allocator;
  JsonSaxReader reader(&allocator);
  const rapidjson::ParseResult result = reader.Parse<JSON_PARSE_FLAGS>(stream, handler);
  if (!waiting_) return;
  // RapidJSON stopped while a reader still waits: every wait from now on
  // ends with the reason, so the readers unwind to the root.
  ended_ = true;
  if (result.IsError()) {
    syntax_error_ = true;
    syntax_error_text_ = rapidjson::GetParseError_En(result.Code());
    if (!syntax_error_text_.empty() && syntax_error_text_.back() == '.')
      syntax_error_text_.pop_back();
    syntax_error_offset_ = result.Offset();
  }
  std::exchange(waiting_, {}).resume();
}

Result<JsonToken> JsonReader::take() {
  if (!slot_) return fail(end_error());
  const JsonToken token = *slot_;
  slot_.reset();
  consumed_end_ = token.end;
  return token;
}

std::string JsonReader::end_error() const {
  if (syntax_error_) return located(syntax_error_text_, syntax_error_offset_ + 1);
  return error_here("EOF while parsing a value");
}

bool JsonReader::start_skip() {
  skip_depth_ = 0;
  if (slot_) {
    const JsonKind kind = take()->kind;
    if (kind != JsonKind::BeginObject && kind != JsonKind::BeginArray) return true;
    skip_depth_ = 1;
  }
  skipping_ = true;
  return ended_;
}

Result<void> JsonReader::end_skip() {
  if (!skipping_) return {};
  skipping_ = false;
  return fail(end_error());
}

std::string JsonReader::located(std::string_view description, std::size_t line_end) const {
  line_end = std::min(line_end, input_.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < line_end; ++i) {
    if (input_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return fmt::format("{} at line {} column {}", description, line, line_end - line_start);
}

std::string JsonReader::error_here(std::string_view description) const {
  return located(description, consumed_end_);
}

Result<void> JsonReader::finish() const {
  for (std::size_t i = consumed_end_; i < input_.size(); ++i) {
    const char c = input_[i];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
      return fail(located("trailing characters", i + 1));
  }
  return {};
}

Result<void> JsonReader::enter() {
  if (depth_ >= JSON_MAX_DEPTH) return fail(error_here("recursion limit exceeded"));
  ++depth_;
  return {};
}

std::string describe_json_token(const JsonToken& token) {
  switch (token.kind) {
    case JsonKind::Null:
      return "null";
    case JsonKind::Bool:
      return fmt::format("boolean `{}`", token.boolean);
    case JsonKind::Negative:
      return fmt::format("integer `{}`", token.negative_value);
    case JsonKind::Unsigned:
      return fmt::format("integer `{}`", token.unsigned_value);
    case JsonKind::Float: {
      const double value = token.text.empty()
                               ? token.float_value
                               : std::strtod(std::string(token.text).c_str(), nullptr);
      std::string number = fmt::format("{}", value);
      if (number.find_first_of(".eEn") == std::string::npos) number += ".0";
      return fmt::format("floating point `{}`", number);
    }
    case JsonKind::String:
    case JsonKind::Key:
      return "string " + quote_for_message(utf8_lossy(token.text));
    case JsonKind::BeginArray:
    case JsonKind::EndArray:
      return "sequence";
    case JsonKind::BeginObject:
    case JsonKind::EndObject:
      return "map";
  }
  return "value";
}

std::string invalid_json_type(const JsonReader& reader, const JsonToken& token,
                              std::string_view expected) {
  return reader.error_here(
      fmt::format("invalid type: {}, expected {}", describe_json_token(token), expected));
}

Result<std::string> json_string_value(const JsonReader& reader, const Result<JsonToken>& token,
                                      std::string_view expected) {
  if (!token) return fail(token.error());
  if (token->kind != JsonKind::String) return fail(invalid_json_type(reader, *token, expected));
  if (!is_valid_utf8(token->text)) return fail(reader.error_here("invalid unicode code point"));
  return std::string(token->text);
}

Result<std::uint64_t> json_unsigned_value(const JsonReader& reader, const Result<JsonToken>& token,
                                          std::uint64_t max, std::string_view expected) {
  if (!token) return fail(token.error());
  if (token->kind == JsonKind::Unsigned && token->unsigned_value <= max) {
    return token->unsigned_value;
  }
  if (token->kind == JsonKind::Unsigned || token->kind == JsonKind::Negative) {
    return fail(reader.error_here(
        fmt::format("invalid value: {}, expected {}", describe_json_token(*token), expected)));
  }
  return fail(invalid_json_type(reader, *token, expected));
}

Result<std::optional<std::string_view>> json_member_key(const JsonReader& reader,
                                                        const Result<JsonToken>& token) {
  if (!token) return fail(token.error());
  if (token->kind == JsonKind::EndObject) return std::nullopt;
  if (!is_valid_utf8(token->text)) return fail(reader.error_here("invalid unicode code point"));
  return token->text;
}

std::optional<std::size_t> match_json_field(std::span<const JsonField> fields,
                                            std::string_view key) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].key == key) return i;
  }
  return std::nullopt;
}

Result<bool> open_json_record(JsonReader& reader, const JsonRecord& record,
                              const Result<JsonToken>& open) {
  if (record.fields.size() > JSON_MAX_RECORD_FIELDS) die("a JSON record has too many fields");
  if (!open) return fail(open.error());
  if (open->kind != JsonKind::BeginObject && open->kind != JsonKind::BeginArray) {
    return fail(invalid_json_type(reader, *open, record.name));
  }
  if (auto entered = reader.enter(); !entered) return fail(entered.error());
  return open->kind == JsonKind::BeginArray;
}

std::string json_record_too_short(const JsonReader& reader, const JsonRecord& record,
                                  std::size_t index) {
  return reader.error_here(fmt::format("invalid length {}, expected {} with {} elements", index,
                                       record.name, record.fields.size()));
}

Result<void> close_json_record_array(JsonReader& reader, const Result<JsonToken>& close) {
  if (!close) return fail(close.error());
  if (close->kind != JsonKind::EndArray) return fail(reader.error_here("trailing characters"));
  reader.leave();
  return {};
}

std::string json_duplicate_field(const JsonReader& reader, const JsonRecord& record,
                                 std::size_t field) {
  return reader.error_here(fmt::format("duplicate field `{}`", record.fields[field].key));
}

Result<void> close_json_record_object(JsonReader& reader, const JsonRecord& record,
                                      const std::bitset<JSON_MAX_RECORD_FIELDS>& seen) {
  for (std::size_t i = 0; i < record.fields.size(); ++i) {
    if (record.fields[i].required && !seen[i]) {
      return fail(reader.error_here(fmt::format("missing field `{}`", record.fields[i].key)));
    }
  }
  reader.leave();
  return {};
}

}  // namespace tavi
