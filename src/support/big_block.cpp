#include "support/big_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace zembric {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* map_huge_pages(std::size_t bytes) {
  // Whole huge pages: the trimming below then cuts at page boundaries only.
  bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  // Over-map by one huge page and trim, so that the block starts on a huge-page boundary.
  void* raw =
      mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t tail = kHugePage - (aligned - start);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, bytes, MADV_HUGEPAGE);  // a hint; without it the mapping works the same
#endif
  return block;
}

void unmap_huge_pages(void* block, std::size_t bytes) noexcept {
  munmap(block, (bytes + kHugePage - 1) & ~(kHugePage - 1));
}

[[gnu::hot]] void* allocate_zeroed_block(std::size_t bytes) {
  if (bytes >= kMappedFrom) return map_huge_pages(bytes);
  void* block = ::operator new(bytes == 0 ? 1 : bytes);
  std::memset(block, 0, bytes);
  return block;
}

[[gnu::hot]] void release_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes >= kMappedFrom) {
    unmap_huge_pages(block, bytes);
  } else {
    ::operator delete(block);
  }
}

}  // namespace zembric
