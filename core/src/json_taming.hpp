// Getting well-formed JSON past two refusals of RapidJSON's tokeniser.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavi {

// RapidJSON refuses two kinds of well-formed JSON outright, even inside a
// value that is only skipped: a number beyond the range of a double (1e400,
// and 0e400 for its exponent alone) and the escape of a high surrogate with
// no low one after it. When it stopped at one of them, the tokens come from
// this copy of the input instead, of the same length so that every offset
// holds: each number that may be too big is written as a zero ("0e000"), its
// value kept apart in `numbers` by its end offset, and each lone high
// surrogate becomes a lone low one, whose decoded bytes are still not UTF-8,
// so a field refuses it just the same.
struct TamedInput {
  std::string text;
  std::vector<std::pair<std::size_t, double>> numbers;
};
TamedInput tame_input(std::string_view input);

}  // namespace tavi
