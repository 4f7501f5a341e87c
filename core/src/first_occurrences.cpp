#include "tavi/first_occurrences.hpp"

#include <algorithm>
#include <compare>
#include <functional>

namespace tavi {

std::vector<std::size_t> first_occurrences(std::span<const std::string_view> texts) {
  // Sorted by hash first, most comparisons are of two numbers; equal texts
  // end up side by side, in list order.
  struct Entry {
    std::size_t hash;
    std::string_view text;
    std::size_t position;
    auto operator<=>(const Entry&) const = default;
  };
  const std::hash<std::string_view> hash;
  std::vector<Entry> sorted;
  sorted.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) sorted.push_back({hash(texts[i]), texts[i], i});
  std::sort(sorted.begin(), sorted.end());

  std::vector<std::size_t> first(texts.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const bool starts_run =
        i == 0 || sorted[i].hash != sorted[i - 1].hash || sorted[i].text != sorted[i - 1].text;
    first[sorted[i].position] = starts_run ? sorted[i].position : first[sorted[i - 1].position];
  }
  return first;
}

}  // namespace tavi
