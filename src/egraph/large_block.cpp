#include "egraph/large_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace zembric::egraph {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMappedFrom = 2 * kHugePage;

std::size_t mapped_bytes(std::size_t bytes) {
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

}  // namespace

void* allocate_zeroed_block(std::size_t bytes) {
  if (bytes < kMappedFrom) {
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  // Over-map by one huge page and trim, so that the block starts on a huge-page boundary.
  const std::size_t size = mapped_bytes(bytes);
  void* raw =
      mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t tail = kHugePage - (aligned - start);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);  // a hint; without it the mapping works the same
#endif
  return block;  // fresh anonymous pages read as zero
}

void release_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kMappedFrom) {
    std::free(block);
  } else {
    munmap(block, mapped_bytes(bytes));
  }
}

}  // namespace zembric::egraph
