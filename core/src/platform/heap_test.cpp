#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "tavi/platform.hpp"

// AddressSanitizer brings an allocator of its own, which these counters and
// calls do not reach.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define TAVI_GLIBC_HEAP 1
#include <malloc.h>
#endif

namespace tavi::platform {
namespace {

constexpr std::size_t MIB = 1024 * 1024;

// Where the blocks go, so that no allocation is optimised away.
void* volatile sink = nullptr;

void* touched_block(std::size_t size) {
  void* block = std::malloc(size);
  std::memset(block, 1, size);
  sink = block;
  return block;
}

#if defined(TAVI_GLIBC_HEAP)

std::size_t mapped_bytes() { return ::mallinfo2().hblkhd; }

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Run in a process of its own, as the daemon calls it at start: glibc serves
// even a large block from free heap that has room for it, and in a process
// that has run other tests the heap may have. In a fresh one it has none, so
// each block, however large the one freed before it, has a mapping of its
// own that goes with it: the allocator's own rule would raise its threshold
// and serve the later, smaller ones from the heap, where their pages stay
// after they are freed.
[[noreturn]] void map_large_blocks_from_start() {
  keep_large_blocks_apart();
  for (const std::size_t size : {4 * MIB, MIB, LARGE_HEAP_BLOCK}) {
    const std::size_t before = mapped_bytes();
    void* block = touched_block(size);
    const std::size_t mapped = mapped_bytes();
    std::free(block);
    const std::size_t after = mapped_bytes();
    if (mapped < before + size || after != before) {
      std::fprintf(stderr, "block of %zu: mapped %zu before, %zu with it, %zu after\n", size,
                   before, mapped, after);
      std::_Exit(1);
    }
  }
  std::_Exit(0);
}

TEST(Heap, LargeBlocksAreMappedApartAndGoBackWhenFreed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(map_large_blocks_from_start(), ::testing::ExitedWithCode(0), "");
}

// Every other block freed: the holes lie between blocks in use, so the heap
// can neither merge them nor shrink past them, and only the release gives
// their pages back.
TEST(Heap, ReleaseGivesBackFreePagesBetweenBlocksInUse) {
  constexpr std::size_t BLOCKS = 512, SIZE = 64 * 1024;  // each kept in the heap
  static_assert(SIZE < LARGE_HEAP_BLOCK);
  std::vector<void*> blocks;
  blocks.reserve(BLOCKS);
  for (std::size_t i = 0; i < BLOCKS; ++i) blocks.push_back(touched_block(SIZE));
  for (std::size_t i = 0; i < BLOCKS; i += 2) std::free(blocks[i]);

  const std::size_t held = resident_bytes();
  release_free_memory();
  EXPECT_LT(resident_bytes() + BLOCKS / 2 * SIZE / 2, held);
  for (std::size_t i = 1; i < BLOCKS; i += 2) std::free(blocks[i]);
}

#else

TEST(Heap, LargeBlocksAreMappedApartAndGoBackWhenFreed) {
  keep_large_blocks_apart();
  std::free(touched_block(4 * MIB));
  GTEST_SKIP() << "the counters are those of glibc's own allocator";
}

#endif

}  // namespace
}  // namespace tavi::platform
