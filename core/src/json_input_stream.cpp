#include "json_input_stream.hpp"

#include <rapidjson/memorystream.h>

#include <algorithm>
#include <optional>

#include "json_allocator.hpp"

namespace tavi {

namespace {

// How far the lexer runs ahead of RapidJSON at most, beyond the item it is in.
constexpr std::size_t LEX_AHEAD = 1024;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of four hexadecimal digits at `pos`, if they are there.
std::optional<unsigned> hex4(std::string_view text, std::size_t pos) {
  if (pos + 4 > text.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = pos; i < pos + 4; ++i) {
    const char c = text[i];
    const int digit = is_digit(c)              ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

// The end of the JSON number that starts at `pos`, when it is one, and
// whether RapidJSON might find it too big: it has an exponent, or more
// integer digits than 2^64 has.
struct NumberSpan {
  std::size_t end = 0;
  bool maybe_too_big = false;
};
std::optional<NumberSpan> json_number_at(std::string_view text, std::size_t pos) {
  std::size_t i = pos;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    return i - start;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i >= text.size() || !is_digit(text[i])) return std::nullopt;
  const std::size_t integer_digits = text[i] == '0' ? (++i, 1) : digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return std::nullopt;
  }
  bool exponent = false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return std::nullopt;
    exponent = true;
  }
  return NumberSpan{i, exponent || integer_digits > 20};
}

// Whether RapidJSON refuses `number`, a whole JSON number, as too big.
bool refused_as_too_big(std::string_view number) {
  rapidjson::MemoryStream stream(number.data(), number.size());
  rapidjson::BaseReaderHandler<> ignore;
  JsonSaxReader reader;
  return reader.Parse<rapidjson::kParseStopWhenDoneFlag>(stream, ignore).Code() ==
         rapidjson::kParseErrorNumberTooBig;
}

}  // namespace

JsonInputStream::Ch* JsonInputStream::PutBegin() {
  RAPIDJSON_ASSERT(false);
  return nullptr;
}
void JsonInputStream::Put(Ch) { RAPIDJSON_ASSERT(false); }
void JsonInputStream::Flush() { RAPIDJSON_ASSERT(false); }
std::size_t JsonInputStream::PutEnd(Ch*) {
  RAPIDJSON_ASSERT(false);
  return 0;
}

JsonInputStream::Ch JsonInputStream::peek_slow() {
  if (spot_ != Spot::None && position_ >= spot_end_) {
    if (spot_ == Spot::Number) {
      passed_number_begin_ = spot_literal_begin_;
      passed_number_end_ = spot_end_;
    }
    spot_ = Spot::None;
  }
  if (spot_ == Spot::None) {
    if (position_ >= input_.size()) return '\0';
    lex(position_ + LEX_AHEAD);
    plain_end_ = spot_ == Spot::None ? scanned_ : spot_begin_;
    if (position_ < plain_end_) return input_[position_];
  }
  const std::size_t at = position_ - spot_begin_;
  if (spot_ == Spot::Surrogate) return "dfff"[at];
  return at == 1 ? 'e' : '0';
}

void JsonInputStream::lex(std::size_t limit) {
  std::size_t i = scanned_;
  const std::size_t end = std::min(limit, input_.size());
  const char* text = input_.data();
  // Most bytes are none of the few that matter: pass them in tight loops.
  while (i < end && spot_ == Spot::None) {
    if (in_string_) {
      while (i < end && text[i] != '"' && text[i] != '\\') ++i;
      if (i == end) break;
      if (text[i] == '"') {
        in_string_ = false;
        ++i;
      } else {
        lex_escape(i);
      }
    } else {
      while (i < end && text[i] != '"' && text[i] != '-' && !is_digit(text[i])) ++i;
      if (i == end) break;
      if (text[i] == '"') {
        in_string_ = true;
        ++i;
      } else {
        lex_number(i);
      }
    }
  }
  scanned_ = std::min(i, input_.size());
}

void JsonInputStream::lex_escape(std::size_t& i) {
  const auto unit =
      i + 1 < input_.size() && input_[i + 1] == 'u' ? hex4(input_, i + 2) : std::nullopt;
  if (!unit) {
    i += 2;
    return;
  }
  if (*unit >= 0xD800 && *unit <= 0xDBFF) {
    const bool escape_follows =
        i + 7 < input_.size() && input_[i + 6] == '\\' && input_[i + 7] == 'u';
    const auto low = escape_follows ? hex4(input_, i + 8) : std::nullopt;
    if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
      i += 12;
      return;
    }
    // Before the first stand-in, a broken escape right after it is RapidJSON's
    // error to report, as it always was.
    if (tamed_ || !(escape_follows && !low)) {
      spot_ = Spot::Surrogate;
      spot_begin_ = i + 2;
      spot_end_ = i + 6;
      tamed_ = true;
    }
  }
  i += 6;
}

void JsonInputStream::lex_number(std::size_t& i) {
  const auto number = json_number_at(input_, i);
  if (!number) {
    ++i;
    return;
  }
  if (number->maybe_too_big && refused_as_too_big(input_.substr(i, number->end - i))) {
    spot_ = Spot::Number;
    spot_literal_begin_ = i;
    spot_begin_ = input_[i] == '-' ? i + 1 : i;
    spot_end_ = number->end;
    tamed_ = true;
  }
  i = number->end;
}

}  // namespace tavi
