#include "store/flat_id_index.h"

#include <bit>

namespace zembric {

void FlatIdIndex::place(Slot slot) noexcept {
  std::size_t i = home(slot.tag);
  while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
  slots_[i] = slot;
}

void FlatIdIndex::grow_to(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, 0});
  mask_ = capacity - 1;
  shift_ = 32 - static_cast<unsigned>(std::countr_zero(capacity));
  for (const Slot& slot : old) {
    if (slot.id_plus_one != 0) place(slot);
  }
}

void FlatIdIndex::reserve(std::size_t entries) {
  // Keep the load at or below 3/4: a miss (every new node is one) then probes a few slots, most
  // of them in one cache line.
  std::size_t capacity = 16;
  while (capacity / 4 * 3 < entries) capacity *= 2;
  if (capacity > slots_.size()) grow_to(capacity);
}

void FlatIdIndex::insert(std::uint64_t hash, std::uint32_t id) {
  if (size_ + 1 > slots_.size() / 4 * 3) reserve(2 * size_ + 1);
  place(Slot{tag_of(hash), id + 1});
  ++size_;
}

}  // namespace zembric
