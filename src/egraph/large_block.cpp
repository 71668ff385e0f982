#include "egraph/large_block.h"

#include <cstdlib>

#include "store/huge_page_mapping.h"

namespace zembric::egraph {

void* allocate_zeroed_block(std::size_t bytes) {
  if (bytes < kMappedFrom) {
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  return map_huge_pages(bytes);  // fresh anonymous pages read as zero
}

void release_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kMappedFrom) {
    std::free(block);
  } else {
    unmap_huge_pages(block, bytes);
  }
}

}  // namespace zembric::egraph
