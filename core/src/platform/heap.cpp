// The allocator's hold on freed memory. glibc raises its mapping threshold to
// the size of every mapped block that is freed, so after the first large
// request line or configuration every later one comes from the heap of the
// thread that read it, and up to eight heaps a core keep those pages when
// they are freed: a flood of large configurations leaves hundreds of MiB
// resident that nothing uses. A fixed threshold keeps large blocks in
// mappings of their own, and a trim after a busy stretch returns what the
// small blocks left free. macOS already maps its large blocks apart and is
// only asked to give back what it keeps free.
#include <cstdlib>

#include "tavi/platform.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#endif

namespace tavi::platform {

void keep_large_blocks_apart() {
#if defined(__GLIBC__)
  (void)::mallopt(M_MMAP_THRESHOLD, static_cast<int>(LARGE_HEAP_BLOCK));
#endif
}

void release_free_memory() {
#if defined(__GLIBC__)
  (void)::malloc_trim(0);
#elif defined(__APPLE__)
  (void)::malloc_zone_pressure_relief(nullptr, 0);
#endif
}

}  // namespace tavi::platform
