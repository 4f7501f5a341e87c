#include "heap_counter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace tavi {

namespace {

std::atomic<std::size_t> live_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

// Room in front of each block for its size, keeping the block's alignment.
constexpr std::size_t HEADER = alignof(std::max_align_t);

void* allocate(std::size_t size) {
  void* block = std::malloc(size + HEADER);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  const std::size_t now = live_bytes.fetch_add(size, std::memory_order_relaxed) + size;
  std::size_t peak = peak_bytes.load(std::memory_order_relaxed);
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return static_cast<char*>(block) + HEADER;
}

void release(void* pointer) {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - HEADER;
  live_bytes.fetch_sub(*static_cast<std::size_t*>(block), std::memory_order_relaxed);
  std::free(block);
}

void* allocate_or_throw(std::size_t size) {
  void* block = allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

HeapPeak::HeapPeak() : start_(live_bytes.load()) { peak_bytes.store(start_); }

std::size_t HeapPeak::bytes() const { return peak_bytes.load() - start_; }

}  // namespace tavi

// Every variant without an alignment argument: a sanitizer runtime brings its
// own of each, and a block must go back to the family it came from. The
// aligned variants stay the runtime's, and pair among themselves.
void* operator new(std::size_t size) { return tavi::allocate_or_throw(size); }
void* operator new[](std::size_t size) { return tavi::allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return tavi::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return tavi::allocate(size);
}
void operator delete(void* pointer) noexcept { tavi::release(pointer); }
void operator delete[](void* pointer) noexcept { tavi::release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { tavi::release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { tavi::release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { tavi::release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { tavi::release(pointer); }
