// Storage for the e-graph's big arrays. Blocks of several MiB get a dedicated mapping that asks
// for transparent huge pages, so first touch faults once per 2 MiB instead of once per 4 KiB and
// random probes miss the TLB less; smaller blocks come from the heap, which recycles them.
#pragma once

#include <cstddef>
#include <new>

namespace zembric::egraph {

// Zero-filled block of `bytes`, aligned to at least alignof(std::max_align_t).
void* allocate_zeroed_block(std::size_t bytes);
// Releases a block from allocate_zeroed_block; `bytes` must be the size it was allocated with.
void release_block(void* block, std::size_t bytes) noexcept;

// Allocator for vectors that grow to several MiB. Memory is handed out zeroed, which callers
// must not rely on: construction still initialises every element.
template <class T>
struct LargeBlockAllocator {
  using value_type = T;
  LargeBlockAllocator() = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_zeroed_block(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { release_block(p, n * sizeof(T)); }
  template <class U>
  friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator<U>&) {
    return true;
  }
};

}  // namespace zembric::egraph
