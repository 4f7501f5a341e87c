#include "tavi/json_writer.hpp"

#include <charconv>

namespace tavi {

namespace {

// The two-character escape of a byte that has one; empty for every other.
std::string_view short_escape(char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    default:
      return {};
  }
}

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20; }

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    if (const std::string_view escape = short_escape(c); !escape.empty()) {
      out += escape;
    } else if (is_control(c)) {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\u00";
      out.push_back(hex[byte >> 4]);
      out.push_back(hex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

std::size_t json_string_size(std::string_view text) {
  std::size_t size = 2;
  for (char c : text) {
    if (const std::string_view escape = short_escape(c); !escape.empty()) {
      size += escape.size();
    } else {
      size += is_control(c) ? 6 : 1;  // \u00xx
    }
  }
  return size;
}

void append_json_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;
  out.append(buffer, end);
}

}  // namespace tavi
