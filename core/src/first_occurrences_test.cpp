#include "tavi/first_occurrences.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavi {
namespace {

TEST(FirstOccurrences, PointsEachTextAtItsFirstEqual) {
  struct Case {
    std::vector<std::string_view> texts;
    std::vector<std::size_t> first;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{"nas"}, {0}},
      {{"nas", "pi", "nas", "nas", "pi"}, {0, 1, 0, 0, 1}},
      // Byte for byte: case, blanks and length all count.
      {{"nas", "NAS", " nas", "nas ", "na", "nas"}, {0, 1, 2, 3, 4, 0}},
      {{"", "", std::string_view("a\0b", 3), std::string_view("a\0c", 3),
        std::string_view("a\0b", 3)},
       {0, 0, 2, 3, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(first_occurrences(c.texts), c.first);
  }
}

// Tens of thousands of names against a plain search of the earlier ones.
TEST(FirstOccurrences, AgreesWithASearchOfTheEarlierTexts) {
  std::vector<std::string> names;
  for (unsigned i = 0; i < 3000; ++i) {
    // Appended rather than "n" + ...: GCC 12 at -O3 warns of an overlapping
    // copy that operator+ never makes (-Wrestrict).
    std::string name = "n";
    name += std::to_string(i * 7919 % 1000);
    names.push_back(std::move(name));
  }
  const std::vector<std::string_view> texts(names.begin(), names.end());
  const std::vector<std::size_t> first = first_occurrences(texts);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::size_t earliest =
        static_cast<std::size_t>(std::find(texts.begin(), texts.end(), texts[i]) - texts.begin());
    ASSERT_EQ(first[i], earliest) << texts[i];
  }
}

}  // namespace
}  // namespace tavi
