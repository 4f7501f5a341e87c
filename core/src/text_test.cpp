#include "tavi/text.hpp"

#include <gtest/gtest.h>

namespace tavi {
namespace {

TEST(Trim, RemovesEveryWhiteSpaceCharacterAtBothEnds) {
  const std::vector<std::string> spaces = {
      "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00a0", "\u1680", "\u2000", "\u200a",
      "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
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

}  // namespace
}  // namespace tavi
