// A count of the bytes the process holds through operator new, for the
// memory checks of the JSON readers. Linking heap_counter.cpp replaces the
// global operator new and delete of the program it is linked into (and only
// that program): every allocation then carries its size in front of it.
#pragma once

#include <cstddef>

namespace tavi {

// The most bytes held at once since it was made, beyond those held then.
// One at a time: making one starts the count afresh.
class HeapPeak {
 public:
  HeapPeak();
  std::size_t bytes() const;

 private:
  std::size_t start_;
};

}  // namespace tavi
