#include "failing_allocator.h"

#include <cstdlib>
#include <new>

namespace zembric::testing_support {
namespace {

// One thread runs the tests; plain counters keep the hook free of allocations of its own.
std::size_t g_countdown = 0;
bool g_failed = false;

void* allocate(std::size_t size) {
  if (g_countdown != 0 && --g_countdown == 0) {
    g_failed = true;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
  if (g_countdown != 0 && --g_countdown == 0) {
    g_failed = true;
    throw std::bad_alloc();
  }
  const auto alignment = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  if (void* block = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded)) return block;
  throw std::bad_alloc();
}

}  // namespace

void fail_allocation(std::size_t k) noexcept {
  g_countdown = k;
  g_failed = false;
}

bool allocation_failed() noexcept {
  return g_failed;
}

}  // namespace zembric::testing_support

using zembric::testing_support::allocate;
using zembric::testing_support::allocate_aligned;

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return allocate_aligned(size, align);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
