// OwnerCount: the count of owners of a block that copies share and never write, such as a
// SharedConst value, a ParamMap's entries or a Stage's members. Safe to copy and drop owners from
// several threads at once.
#pragma once

#include <atomic>
#include <cstddef>

namespace zembric {

class OwnerCount {
 public:
  OwnerCount() noexcept = default;  // the block's first owner
  OwnerCount(const OwnerCount&) = delete;
  OwnerCount& operator=(const OwnerCount&) = delete;

  void add() noexcept { owners_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one owner; true for the last, which then sees every other owner's reads done and may
  // destroy the block.
  bool drop() noexcept { return owners_.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  // Whether another owner holds the block too, so that it must not be written.
  bool shared() const noexcept { return owners_.load(std::memory_order_relaxed) != 1; }

 private:
  std::atomic<std::size_t> owners_{1};
};

}  // namespace zembric
