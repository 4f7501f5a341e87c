// The RapidJSON parts every JSON reading of ours uses.
//
// RapidJSON's default CrtAllocator calls malloc directly; ours goes through
// operator new and delete, so the parser's nesting stack and string buffer are
// allocated like every other byte of the process (and a test that counts
// operator new sees them).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include <rapidjson/reader.h>

namespace tavi {

class JsonStackAllocator {
 public:
  static const bool kNeedFree = true;
  void* Malloc(std::size_t size) { return size == 0 ? nullptr : ::operator new(size); }
  void* Realloc(void* original, std::size_t original_size, std::size_t new_size) {
    if (new_size == 0) {
      Free(original);
      return nullptr;
    }
    void* grown = ::operator new(new_size);
    if (original != nullptr) std::memcpy(grown, original, std::min(original_size, new_size));
    Free(original);
    return grown;
  }
  static void Free(void* block) { ::operator delete(block); }
};

using JsonSaxReader =
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, JsonStackAllocator>;

// Tokenising flags: no recursion, so deep values cannot exhaust the stack, and
// nothing read past the end of the value.
inline constexpr unsigned JSON_PARSE_FLAGS =
    rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag;

}  // namespace tavi
