#include "json_taming.hpp"

#include <cstdlib>
#include <optional>

namespace tavi {

namespace {

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
  bool rewrite = false;
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

}  // namespace

TamedInput tame_input(std::string_view input) {
  TamedInput out{std::string(input), {}};
  std::string& text = out.text;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (in_string) {
      if (c == '"') in_string = false;
      if (c != '\\') {
        ++i;
        continue;
      }
      const auto unit =
          i + 1 < text.size() && text[i + 1] == 'u' ? hex4(text, i + 2) : std::nullopt;
      if (!unit) {
        i += 2;
        continue;
      }
      if (*unit >= 0xD800 && *unit <= 0xDBFF) {
        const bool escape_follows =
            i + 7 < text.size() && text[i + 6] == '\\' && text[i + 7] == 'u';
        const auto low = escape_follows ? hex4(text, i + 8) : std::nullopt;
        if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
          i += 12;
          continue;
        }
        text.replace(i + 2, 4, "dfff");
      }
      i += 6;
      continue;
    }
    if (c == '"') {
      in_string = true;
      ++i;
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    const auto number = json_number_at(text, i);
    if (!number) {
      ++i;
      continue;
    }
    if (number->rewrite) {
      const std::string literal = text.substr(i, number->end - i);
      out.numbers.emplace_back(number->end, std::strtod(literal.c_str(), nullptr));
      const std::size_t start = c == '-' ? i + 1 : i;
      text.replace(start, number->end - start, "0e" + std::string(number->end - start - 2, '0'));
    }
    i = number->end;
  }
  return out;
}

}  // namespace tavi
