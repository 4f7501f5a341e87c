#include "tavi/text.hpp"

#include <fmt/format.h>

namespace tavi {

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Index of the last character start at or before `end - 1`, walking back over
// continuation bytes; used by trimming from the right.
std::size_t previous_char_start(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  std::size_t steps = 0;
  while (start > 0 && steps < 3 && is_continuation(static_cast<unsigned char>(text[start]))) {
    --start;
    ++steps;
  }
  return start;
}

}  // namespace

Utf8Char decode_utf8_char(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1};

  std::size_t need = 0;
  char32_t cp = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return {std::nullopt, 1};
  }

  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (pos + i >= text.size()) return {std::nullopt, i};
    const unsigned char b = byte(pos + i);
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xBF;
    if (b < lo || b > hi) return {std::nullopt, i};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1};
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const Utf8Char c = decode_utf8_char(text, pos);
    if (!c.code_point) return false;
    pos += c.length;
  }
  return true;
}

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char c = decode_utf8_char(text, pos);
    if (c.code_point) {
      out.append(text.substr(pos, c.length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    pos += c.length;
  }
  return out;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Utf8Char c = decode_utf8_char(text, begin);
    if (!c.code_point || !is_white_space(*c.code_point)) break;
    begin += c.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = previous_char_start(text, end);
    if (start < begin) break;
    const Utf8Char c = decode_utf8_char(text, start);
    if (!c.code_point || start + c.length != end || !is_white_space(*c.code_point)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string remove_white_space(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char c = decode_utf8_char(text, pos);
    if (!c.code_point || !is_white_space(*c.code_point)) out.append(text.substr(pos, c.length));
    pos += c.length;
  }
  return out;
}

std::string escape_control_characters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char c = decode_utf8_char(text, pos);
    const std::string_view bytes = text.substr(pos, c.length);
    pos += c.length;
    if (!c.code_point) {
      // Read as Latin-1, as some viewers do, 0x80-0x9F would be C1 controls.
      for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        if (b >= 0x80 && b <= 0x9F) {
          out += fmt::format("\\x{:02x}", b);
        } else {
          out += byte;
        }
      }
      continue;
    }
    const char32_t cp = *c.code_point;
    if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || cp == 0x7F) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned>(cp));
    } else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(cp));
    } else {
      out += bytes;
    }
  }
  return out;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_with_ignoring_ascii_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         equal_ignoring_ascii_case(text.substr(0, prefix.size()), prefix);
}

}  // namespace tavi
