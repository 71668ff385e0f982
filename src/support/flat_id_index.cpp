#include "support/flat_id_index.h"

#include <cstring>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <utility>

namespace zembric {

[[gnu::hot]] FlatIdIndex::Slot* FlatIdIndex::allocate(std::size_t capacity) {
  return static_cast<Slot*>(allocate_zeroed_block(capacity * sizeof(Slot)));
}

[[gnu::hot]] void FlatIdIndex::release(Slot* slots, std::size_t capacity) noexcept {
  release_block(slots, capacity * sizeof(Slot));
}

FlatIdIndex::FlatIdIndex(const FlatIdIndex& other)
    : slots_(other.capacity_ == 0 ? nullptr : allocate(other.capacity_)),
      capacity_(other.capacity_),
      size_(other.size_),
      mask_(other.mask_),
      shift_(other.shift_) {
  std::copy_n(other.slots_, capacity_, slots_);
}

FlatIdIndex& FlatIdIndex::operator=(const FlatIdIndex& other) {
  if (this != &other) *this = FlatIdIndex(other);
  return *this;
}

FlatIdIndex::FlatIdIndex(FlatIdIndex&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      mask_(std::exchange(other.mask_, 0)),
      shift_(std::exchange(other.shift_, 32)) {}

FlatIdIndex& FlatIdIndex::operator=(FlatIdIndex&& other) noexcept {
  if (this != &other) {
    release(slots_, capacity_);
    slots_ = std::exchange(other.slots_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
    mask_ = std::exchange(other.mask_, 0);
    shift_ = std::exchange(other.shift_, 32);
  }
  return *this;
}

[[gnu::hot]] void FlatIdIndex::place(Slot slot) noexcept {
  std::size_t i = home(slot.tag);
  while (slots_[i].id_plus_one != 0)
    i = (i + 1) & mask_;
  slots_[i] = slot;
}

[[gnu::hot]] void FlatIdIndex::grow_to(std::size_t capacity) {
  Slot* const old = slots_;
  const std::size_t old_capacity = capacity_;
  slots_ = allocate(capacity);
  capacity_ = capacity;
  mask_ = capacity - 1;
  shift_ = 32 - static_cast<unsigned>(std::countr_zero(capacity));
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (old[i].id_plus_one != 0) place(old[i]);
  }
  release(old, old_capacity);
}

[[gnu::hot]] void FlatIdIndex::reserve(std::size_t entries) {
  // Keep the load at or below 3/4: a miss (every new node is one) then probes a few slots, most
  // of them in one cache line.
  std::size_t capacity = 16;
  while (capacity / 4 * 3 < entries)
    capacity *= 2;
  if (capacity > capacity_) grow_to(capacity);
}

[[gnu::hot]] void FlatIdIndex::clear() noexcept {
  if (size_ == 0) return;
  std::memset(static_cast<void*>(slots_), 0, capacity_ * sizeof(Slot));
  size_ = 0;
}

[[gnu::hot]] void FlatIdIndex::insert(std::uint64_t hash, std::uint32_t id) {
  if (size_ + 1 > capacity_ / 4 * 3) reserve(2 * size_ + 1);
  place(Slot{tag_of(hash), id + 1});
  ++size_;
}

bool FlatIdIndex::erase(std::uint64_t hash, std::uint32_t id) noexcept {
  if (capacity_ == 0) return false;
  const std::uint32_t tag = tag_of(hash);
  std::size_t gap = home(tag);
  for (;; gap = (gap + 1) & mask_) {
    const Slot slot = slots_[gap];
    if (slot.id_plus_one == 0) return false;
    if (slot.tag == tag && slot.id_plus_one == id + 1) break;
  }
  // An entry further along the run moves into the gap when the gap lies between its home and its
  // slot, i.e. when it is at least as far from its home as from the gap.
  for (std::size_t j = (gap + 1) & mask_; slots_[j].id_plus_one != 0; j = (j + 1) & mask_) {
    if (((j - home(slots_[j].tag)) & mask_) >= ((j - gap) & mask_)) {
      slots_[gap] = slots_[j];
      gap = j;
    }
  }
  slots_[gap] = Slot{0, 0};
  --size_;
  return true;
}

}  // namespace zembric
