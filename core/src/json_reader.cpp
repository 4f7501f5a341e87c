#include "tavi/json_reader.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <fmt/format.h>

#include "json_taming.hpp"
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

// Receives RapidJSON's SAX events and stores them as tokens.
struct JsonTokenCollector {
  using Ch = char;
  JsonReader& reader;
  const rapidjson::MemoryStream& stream;
  // Numbers rewritten as zeros, by end offset, in input order.
  const std::vector<std::pair<std::size_t, double>>& numbers;
  std::size_t next_number = 0;

  // RapidJSON reports brackets before it takes them from the stream.
  bool push_bracket(JsonKind kind) {
    JsonToken token{.kind = kind};
    token.end = stream.Tell() + 1;
    reader.tokens_.push_back(token);
    return true;
  }
  bool push(JsonToken token) {
    token.end = stream.Tell();
    reader.tokens_.push_back(token);
    return true;
  }
  bool push_text(JsonKind kind, const char* text, rapidjson::SizeType length) {
    JsonToken token{.kind = kind};
    token.text_offset = static_cast<std::uint32_t>(reader.arena_.size());
    token.text_length = length;
    reader.arena_.append(text, length);
    return push(token);
  }
  bool Null() { return push({.kind = JsonKind::Null}); }
  bool Bool(bool b) { return push({.kind = JsonKind::Bool, .boolean = b}); }
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Uint64(u); }
  bool Int64(std::int64_t i) {
    // RapidJSON reports "-0" through Int; it is a negative literal all the same.
    if (i >= 0) return push({.kind = JsonKind::Negative, .negative_value = -i});
    return push({.kind = JsonKind::Negative, .negative_value = i});
  }
  bool Uint64(std::uint64_t u) { return push({.kind = JsonKind::Unsigned, .unsigned_value = u}); }
  bool Double(double d) {
    if (next_number < numbers.size() && numbers[next_number].first == stream.Tell()) {
      d = numbers[next_number++].second;
    }
    return push({.kind = JsonKind::Float, .float_value = d});
  }

  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char* s, rapidjson::SizeType n, bool) { return push_text(JsonKind::String, s, n); }
  bool Key(const char* s, rapidjson::SizeType n, bool) { return push_text(JsonKind::Key, s, n); }
  bool StartObject() { return push_bracket(JsonKind::BeginObject); }
  bool EndObject(rapidjson::SizeType) { return push_bracket(JsonKind::EndObject); }
  bool StartArray() { return push_bracket(JsonKind::BeginArray); }
  bool EndArray(rapidjson::SizeType) { return push_bracket(JsonKind::EndArray); }
};

JsonReader::JsonReader(std::string_view input) : input_(input) {
  const unsigned code = tokenise(input, {});
  if (code == rapidjson::kParseErrorNumberTooBig ||
      code == rapidjson::kParseErrorStringUnicodeSurrogateInvalid) {
    const TamedInput tamed = tame_input(input);
    tokenise(tamed.text, tamed.numbers);
  }
}

unsigned JsonReader::tokenise(std::string_view text,
                              const std::vector<std::pair<std::size_t, double>>& numbers) {
  tokens_.clear();
  arena_.clear();
  syntax_error_ = false;
  rapidjson::MemoryStream stream(text.data(), text.size());
  JsonTokenCollector collector{*this, stream, numbers};
  rapidjson::Reader reader;
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag;
  const rapidjson::ParseResult result = reader.Parse<flags>(stream, collector);
  if (result.IsError()) {
    syntax_error_ = true;
    syntax_error_text_ = rapidjson::GetParseError_En(result.Code());
    if (!syntax_error_text_.empty() && syntax_error_text_.back() == '.') syntax_error_text_.pop_back();
    syntax_error_offset_ = result.Offset();
  }
  return result.Code();
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

Result<JsonToken> JsonReader::next() {
  if (next_ < tokens_.size()) {
    const JsonToken token = tokens_[next_++];
    consumed_end_ = token.end;
    return token;
  }
  if (syntax_error_) return fail(located(syntax_error_text_, syntax_error_offset_ + 1));
  return fail(error_here("EOF while parsing a value"));
}

std::optional<JsonKind> JsonReader::peek_kind() const {
  if (next_ < tokens_.size()) return tokens_[next_].kind;
  return std::nullopt;
}

std::string_view JsonReader::text(const JsonToken& token) const {
  return std::string_view(arena_).substr(token.text_offset, token.text_length);
}

Result<void> JsonReader::skip_value_after(const JsonToken& first) {
  if (first.kind != JsonKind::BeginObject && first.kind != JsonKind::BeginArray) return {};
  std::size_t depth = 1;
  while (depth > 0) {
    auto token = next();
    if (!token) return fail(token.error());
    if (token->kind == JsonKind::BeginObject || token->kind == JsonKind::BeginArray) ++depth;
    if (token->kind == JsonKind::EndObject || token->kind == JsonKind::EndArray) --depth;
  }
  return {};
}

Result<void> JsonReader::skip_value() {
  auto first = next();
  if (!first) return fail(first.error());
  return skip_value_after(*first);
}

Result<void> JsonReader::finish() const {
  for (std::size_t i = consumed_end_; i < input_.size(); ++i) {
    const char c = input_[i];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return fail(located("trailing characters", i + 1));
  }
  return {};
}

Result<void> JsonReader::enter() {
  if (depth_ >= JSON_MAX_DEPTH) return fail(error_here("recursion limit exceeded"));
  ++depth_;
  return {};
}

std::string describe_json_token(const JsonReader& reader, const JsonToken& token) {
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
      std::string number = fmt::format("{}", token.float_value);
      if (number.find_first_of(".eEn") == std::string::npos) number += ".0";
      return fmt::format("floating point `{}`", number);
    }
    case JsonKind::String:
    case JsonKind::Key:
      return "string " + quote_for_message(utf8_lossy(reader.text(token)));
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
      fmt::format("invalid type: {}, expected {}", describe_json_token(reader, token), expected));
}

Result<std::string> read_json_string(JsonReader& reader, std::string_view expected) {
  auto token = reader.next();
  if (!token) return fail(token.error());
  if (token->kind != JsonKind::String) return fail(invalid_json_type(reader, *token, expected));
  const std::string_view text = reader.text(*token);
  if (!is_valid_utf8(text)) return fail(reader.error_here("invalid unicode code point"));
  return std::string(text);
}

Result<std::uint64_t> read_json_unsigned(JsonReader& reader, std::uint64_t max,
                                         std::string_view expected) {
  auto token = reader.next();
  if (!token) return fail(token.error());
  if (token->kind == JsonKind::Unsigned && token->unsigned_value <= max) return token->unsigned_value;
  if (token->kind == JsonKind::Unsigned || token->kind == JsonKind::Negative) {
    return fail(reader.error_here(fmt::format("invalid value: {}, expected {}",
                                              describe_json_token(reader, *token), expected)));
  }
  return fail(invalid_json_type(reader, *token, expected));
}

Result<void> read_json_array(JsonReader& reader, const std::function<Result<void>()>& element,
                             std::string_view expected) {
  auto open = reader.next();
  if (!open) return fail(open.error());
  if (open->kind != JsonKind::BeginArray) return fail(invalid_json_type(reader, *open, expected));
  if (auto entered = reader.enter(); !entered) return entered;
  while (reader.peek_kind() != JsonKind::EndArray) {
    if (!reader.peek_kind()) return fail(reader.next().error());
    if (auto ok = element(); !ok) return ok;
  }
  (void)reader.next();
  reader.leave();
  return {};
}

Result<std::optional<std::string_view>> read_json_member_key(JsonReader& reader) {
  auto token = reader.next();
  if (!token) return fail(token.error());
  if (token->kind == JsonKind::EndObject) return std::nullopt;
  const std::string_view key = reader.text(*token);
  if (!is_valid_utf8(key)) return fail(reader.error_here("invalid unicode code point"));
  return key;
}

Result<void> read_json_string_into(JsonReader& reader, std::string& field) {
  auto value = read_json_string(reader);
  if (!value) return fail(value.error());
  field = std::move(*value);
  return {};
}

std::optional<std::size_t> match_json_field(std::span<const JsonField> fields, std::string_view key) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].key == key) return i;
  }
  return std::nullopt;
}

Result<void> read_json_record(JsonReader& reader, std::string_view name,
                              std::span<const JsonField> fields,
                              const std::function<std::optional<std::size_t>(std::string_view)>& match,
                              const std::function<Result<void>(std::size_t)>& read_field) {
  auto open = reader.next();
  if (!open) return fail(open.error());
  if (open->kind != JsonKind::BeginObject && open->kind != JsonKind::BeginArray) {
    return fail(invalid_json_type(reader, *open, name));
  }
  if (auto entered = reader.enter(); !entered) return entered;

  if (open->kind == JsonKind::BeginArray) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!reader.peek_kind()) return fail(reader.next().error());
      if (reader.peek_kind() == JsonKind::EndArray) {
        if (!fields[i].required) continue;
        (void)reader.next();
        return fail(reader.error_here(fmt::format("invalid length {}, expected {} with {} elements", i,
                                                  name, fields.size())));
      }
      if (auto ok = read_field(i); !ok) return ok;
    }
    auto close = reader.next();
    if (!close) return fail(close.error());
    if (close->kind != JsonKind::EndArray) return fail(reader.error_here("trailing characters"));
    reader.leave();
    return {};
  }

  std::vector<bool> seen(fields.size(), false);
  for (;;) {
    auto key = read_json_member_key(reader);
    if (!key) return fail(key.error());
    if (!*key) break;
    const std::optional<std::size_t> field = match(**key);
    if (!field) {
      if (auto skipped = reader.skip_value(); !skipped) return skipped;
      continue;
    }
    if (seen[*field]) {
      return fail(reader.error_here(fmt::format("duplicate field `{}`", fields[*field].key)));
    }
    seen[*field] = true;
    if (auto ok = read_field(*field); !ok) return ok;
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].required && !seen[i]) {
      return fail(reader.error_here(fmt::format("missing field `{}`", fields[i].key)));
    }
  }
  reader.leave();
  return {};
}

}  // namespace tavi
