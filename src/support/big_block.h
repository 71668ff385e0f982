// Storage for big arrays: the one allocation policy of the store's node lists and indexes and of
// the e-graph's tables. Blocks of at least kMappedFrom bytes get a mapping of their own, aligned
// to and backed by huge pages where the kernel offers them: filling such an array then faults once
// per 2 MiB instead of once per 4 KiB, and random probes mostly hit the TLB. Smaller blocks come
// from the heap, which recycles them.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace zembric {

inline constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

// A huge-page mapping of `bytes`; fresh pages read as zero. Throws std::bad_alloc.
void* map_huge_pages(std::size_t bytes);
void unmap_huge_pages(void* block, std::size_t bytes) noexcept;

// A zero-filled block of `bytes`, aligned to at least alignof(std::max_align_t): mapped when big,
// from operator new otherwise. Throws std::bad_alloc.
void* allocate_zeroed_block(std::size_t bytes);
// Releases a block from allocate_zeroed_block; `bytes` must be the size it was allocated with.
void release_block(void* block, std::size_t bytes) noexcept;

// A std::allocator that maps arrays of at least kMappedFrom bytes.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() noexcept = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) < kMappedFrom) return std::allocator<T>().allocate(n);
    return static_cast<T*>(map_huge_pages(n * sizeof(T)));
  }
  void deallocate(T* block, std::size_t n) noexcept {
    if (n * sizeof(T) < kMappedFrom) {
      std::allocator<T>().deallocate(block, n);
    } else {
      unmap_huge_pages(block, n * sizeof(T));
    }
  }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) noexcept {
    return true;
  }
};

}  // namespace zembric
