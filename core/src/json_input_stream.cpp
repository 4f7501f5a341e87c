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

// What scanning the text at `pos` for a JSON number gave: `complete` when a
// whole number stands there, then `end` is just past it and `maybe_too_big`
// tells whether RapidJSON might find it too big (it has an exponent, or more
// integer digits than 2^64 has); otherwise `end` is where the text stopped
// being the start of a number.
struct NumberScan {
  std::size_t end = 0;
  bool complete = false;
  bool maybe_too_big = false;
};
NumberScan scan_json_number(std::string_view text, std::size_t pos) {
  std::size_t i = pos;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    return i - start;
  };
  const auto incomplete = [&] { return NumberScan{i, false, false}; };
  if (i < text.size() && text[i] == '-') ++i;
  if (i >= text.size() || !is_digit(text[i])) return incomplete();
  const std::size_t integer_digits = text[i] == '0' ? (++i, 1) : digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return incomplete();
  }
  bool exponent = false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return incomplete();
    exponent = true;
  }
  return NumberScan{i, true, exponent || integer_digits > 20};
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
    const std::size_t run = i;
    if (in_string_) {
      while (i < end && text[i] != '"' && text[i] != '\\') ++i;
    } else {
      while (i < end && text[i] != '"' && text[i] != '-' && !is_digit(text[i])) ++i;
    }
    bytes_examined_ += i - run;
    if (i == end) break;
    if (text[i] == '"') {
      in_string_ = !in_string_;
      ++bytes_examined_;
      ++i;
    } else if (in_string_) {
      lex_escape(i);
    } else {
      lex_number(i);
    }
  }
  scanned_ = std::min(i, input_.size());
}

void JsonInputStream::lex_escape(std::size_t& i) {
  const bool unicode = i + 1 < input_.size() && input_[i + 1] == 'u';
  const auto unit = unicode ? hex4(input_, i + 2) : std::nullopt;
  bytes_examined_ += unicode ? 6 : 2;
  if (!unit) {
    i += 2;
    return;
  }
  if (*unit >= 0xD800 && *unit <= 0xDBFF) {
    const bool escape_follows =
        i + 7 < input_.size() && input_[i + 6] == '\\' && input_[i + 7] == 'u';
    const auto low = escape_follows ? hex4(input_, i + 8) : std::nullopt;
    bytes_examined_ += escape_follows ? 6 : 2;
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
  const NumberScan number = scan_json_number(input_, i);
  bytes_examined_ += number.end - i;
  if (number.maybe_too_big) {
    bytes_examined_ += number.end - i;
    if (refused_as_too_big(input_.substr(i, number.end - i))) {
      spot_ = Spot::Number;
      spot_literal_begin_ = i;
      spot_begin_ = input_[i] == '-' ? i + 1 : i;
      spot_end_ = number.end;
      tamed_ = true;
    }
  }
  // Text that only starts like a number goes on from where that stopped.
  // Scanning it again from each of its digits would find nothing new, at a
  // cost that grows with the square of its length: the digits that follow
  // start numbers that break off at the same byte, or a lone "0", and no
  // such number is one RapidJSON would find too big. RapidJSON itself stops
  // with a syntax error at the latest there, so nothing it reads changes.
  i = number.end;
}

}  // namespace tavi
