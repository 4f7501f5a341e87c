#include "tavi/text.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

TEST(Trim, RemovesEveryWhiteSpaceCharacterAtBothEnds) {
  const std::vector<std::string> spaces = {
      "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0",
      "\u1680", "\u2000", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
  for (const auto& s : spaces) {
    SCOPED_TRACE(s);
    EXPECT_EQ(trim_white_space(s + "nas" + s + s), "nas");
    EXPECT_EQ(trim_white_space(s), "");
  }
}

TEST(Trim, KeepsInnerWhiteSpaceAndNonWhiteCharacters) {
  EXPECT_EQ(trim_white_space(" a b "), "a b");
  // U+200B (zero width space) and U+FEFF are not White_Space.
  EXPECT_EQ(trim_white_space("\u200bx\ufeff"), "\u200bx\ufeff");
  // Invalid bytes stop trimming and are kept.
  EXPECT_EQ(trim_white_space(" \xff "), "\xff");
  EXPECT_EQ(trim_white_space("x \xc2"), "x \xc2");
}

TEST(Utf8, ValidityAndLossyDecoding) {
  struct Case {
    std::string input;
    bool valid;
    std::string lossy;
  };
  const std::vector<Case> cases = {
      {"plain", true, "plain"},
      {"\xc3\xa9", true, "\xc3\xa9"},
      {"\xf0\x9f\x98\x80", true, "\xf0\x9f\x98\x80"},
      {"\xff", false, "\xef\xbf\xbd"},
      {"a\xc3", false, "a\xef\xbf\xbd"},
      {"\xed\xa0\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
      {"\xc0\xaf", false, "\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong
      {"\xe2\x82x", false, "\xef\xbf\xbdx"},                            // cut sequence
      {"\xf4\x90\x80\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(is_valid_utf8(c.input), c.valid);
    EXPECT_EQ(utf8_lossy(c.input), c.lossy);
  }
}

TEST(RemoveWhiteSpace, DropsWhiteSpaceEverywhere) {
  EXPECT_EQ(remove_white_space("com\t.lan"), "com.lan");
  EXPECT_EQ(remove_white_space(" n\u00a0a\u3000s\n"), "nas");
}

TEST(EscapeControlCharacters, WritesLineBreaksAndControlsVisibly) {
  struct Case {
    std::string input;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      {"nas\n", "nas\\n"},
      {"a\r\nb", "a\\r\\nb"},
      {"\tx\v\f", "\\tx\\x0b\\x0c"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"del\x7f", "del\\x7f"},
      {"\u0085next", "\\u0085next"},  // NEL
      {"\u009b", "\\u009b"},          // CSI
      {"a\u2028b\u2029c", "a\\u2028b\\u2029c"},
      {"\x85\x9b", "\\x85\\x9b"},  // stray bytes a Latin-1 reader would take as C1
      {"\xe2\x80", "\xe2\\x80"},   // a cut sequence: only its C1-range byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(escape_control_characters(c.input), c.escaped);
  }
}

TEST(EscapeControlCharacters, LeavesOrdinaryTextByteForByte) {
  for (const std::string text :
       {"", "nas.home.arpa", "back\\slash \"quoted\"", "Gagal menyimpan config: x (os error 2)",
        "caf\u00e9 \u00a0 \u2027\u202a \U0001f600", "\xff\xc3 invalid but not control",
        "127.0.0.1:80"}) {
    EXPECT_EQ(escape_control_characters(text), text);
  }
}

}  // namespace
}  // namespace tavi
