// UTF-8 and the Unicode White_Space characters: trimming, validity, lossy
// decoding, and control characters made visible for one-line log entries.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavi {

// One decoded character: its code point, or nothing for an invalid sequence,
// and the number of bytes it spans (for an invalid sequence, its maximal
// subpart, at least one byte).
struct Utf8Char {
  std::optional<char32_t> code_point;
  std::size_t length = 0;
};

// Decodes the character that starts at `text[pos]`; pos must be in range.
Utf8Char decode_utf8_char(std::string_view text, std::size_t pos);

bool is_valid_utf8(std::string_view text);

// The text with every invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// Removes White_Space characters from both ends; invalid bytes stay.
std::string_view trim_white_space(std::string_view text);

// Removes every White_Space character, wherever it stands.
std::string remove_white_space(std::string_view text);

// The text with every character that could break a log line, or steer a
// terminal, written visibly: LF, CR and TAB as \n, \r and \t, the other C0
// bytes and DEL as \xNN, the C1 controls and U+2028, U+2029 as \uNNNN (a byte
// 0x80-0x9F that is not part of valid UTF-8 as \xNN). Everything else, the
// backslash included, stays as it is, so text without such characters comes
// back unchanged.
std::string escape_control_characters(std::string_view text);

// Byte comparison with ASCII A-Z counted as a-z; nothing else is folded.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);
bool starts_with_ignoring_ascii_case(std::string_view text, std::string_view prefix);

}  // namespace tavi
