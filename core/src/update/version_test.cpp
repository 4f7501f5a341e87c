#include "tavi/update/version.hpp"

#include <gtest/gtest.h>

#include "tavi/version.hpp"

namespace tavi {
namespace {

using List = std::vector<std::uint64_t>;

struct VersionCase {
  std::string_view candidate;
  List list;
  bool newer;  // than the running version 0.3.0
};

TEST(Version, CandidatesAgainstTheRunningVersion) {
  ASSERT_EQ(parse_version(HELPER_VERSION), (List{0, 3, 0}));
  const VersionCase cases[] = {
      {"0.3.0", {0, 3, 0}, false},
      {"0.3.1", {0, 3, 1}, true},
      {"0.4", {0, 4}, true},
      {"0.3", {0, 3}, false},
      {"1", {1}, true},
      {"0.10.0", {0, 10, 0}, true},
      {"v0.4.0", {0, 4, 0}, true},
      {"vv0.4.0", {0, 4, 0}, true},
      {"v0.3.0", {0, 3, 0}, false},
      {"V1.0.0", {0, 0, 0}, false},
      {" \t0.4.0\r\n", {0, 4, 0}, true},
      // U+3000 before, U+0085 after: White_Space too.
      {"\u30000.4.0\u0085", {0, 4, 0}, true},
      {"v 1.0.0", {0, 0, 0}, false},
      {"0.3.0.1", {0, 3, 0}, false},
      {"0.3.0-rc1", {0, 3, 0}, false},
      {"0.4-rc1", {0, 4, 0}, true},
      {"1.2.3-beta", {1, 2, 3}, true},
      {"1+2-3", {1, 2, 3}, true},
      {"0..4", {0, 0, 4}, false},
      {"0.3.", {0, 3, 0}, false},
      {"0.3.x", {0, 3, 0}, false},
      {"", {0}, false},
      {"v", {0}, false},
      {"vvv", {0}, false},
      {"18446744073709551616", {0}, false},
      {"18446744073709551615", {18446744073709551615u}, true},
      {"99999999999999999999", {0}, false},
      {"00.004", {0, 4}, true},
      {"0.+4", {0, 0, 4}, false},
      {"0.\xd9\xa4", {0, 0}, false},  // an Arabic-Indic digit is not a number
      {"0.4 .0", {0, 0, 0}, false},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.candidate << '"');
    EXPECT_EQ(parse_version(c.candidate), c.list);
    EXPECT_EQ(is_newer_version(c.candidate, HELPER_VERSION), c.newer);
  }
}

TEST(Version, OrderComparesNumbersFromTheFirst) {
  EXPECT_TRUE(is_newer_version("1.0.0", "0.99.99"));
  EXPECT_FALSE(is_newer_version("0.99.99", "1.0.0"));
  EXPECT_TRUE(is_newer_version("2.0", "2"));
  EXPECT_FALSE(is_newer_version("2", "2.0"));
  EXPECT_FALSE(is_newer_version("2.0", "2.0"));
  EXPECT_TRUE(is_newer_version("18446744073709551615", "18446744073709551614.9.9"));
}

TEST(Version, NextComponentStopsAfterThreePiecesOrAtTheEnd) {
  VersionPieces pieces{.rest = "7.x."};
  EXPECT_EQ(next_version_component(pieces), 7u);
  EXPECT_EQ(next_version_component(pieces), 0u);
  EXPECT_EQ(next_version_component(pieces), 0u);  // the empty piece after the final dot
  EXPECT_EQ(next_version_component(pieces), std::nullopt);

  VersionPieces two{.rest = "1-2"};
  EXPECT_EQ(next_version_component(two), 1u);
  EXPECT_EQ(next_version_component(two), 2u);
  EXPECT_EQ(next_version_component(two), std::nullopt);
  EXPECT_EQ(next_version_component(two), std::nullopt);

  VersionPieces many{.rest = "1.2.3.4.5"};
  for (std::uint64_t expected : {1u, 2u, 3u}) EXPECT_EQ(next_version_component(many), expected);
  EXPECT_EQ(next_version_component(many), std::nullopt);
}

}  // namespace
}  // namespace tavi
