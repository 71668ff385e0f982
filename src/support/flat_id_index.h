// FlatIdIndex: an open-addressing hash index from values kept elsewhere (a node list) to their
// dense 32-bit ids. A slot is 8 bytes: the high 32 bits of the value's hash and the id + 1 (0 marks
// an empty slot). The stored hash bits also place the slot, so growing never rehashes a value, and
// a probe compares values only when their hash bits agree: about one equality test per lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/big_block.h"
#include "support/cache_prefetch.h"
#include "support/hash_mixing.h"
#include "support/no_index.h"

namespace zembric {

class FlatIdIndex {
 public:
  // Ids go up to kNoIndex - 1 so that id + 1 fits the slot.
  static constexpr std::uint64_t kMaxEntries = kNoIndex - 1;

  // A test seam, all ones otherwise: the hash bits an index keeps (which both place and tag its
  // entries) are masked with it, so that a test can make unequal values collide in every index,
  // exercising the equality checks of the store, the key tables and the hash-consing with a few
  // hundred nodes. Set only while no index is in use.
  static inline std::uint32_t collision_mask_for_testing = ~std::uint32_t{0};

  FlatIdIndex() noexcept = default;
  FlatIdIndex(const FlatIdIndex& other);
  FlatIdIndex& operator=(const FlatIdIndex& other);
  FlatIdIndex(FlatIdIndex&& other) noexcept;
  FlatIdIndex& operator=(FlatIdIndex&& other) noexcept;
  ~FlatIdIndex() { release(slots_, capacity_); }

  std::size_t size() const noexcept { return size_; }

  // The id whose value has this hash and satisfies `same(id)`, or kNoIndex.
  template <class Same>
  std::uint32_t find(std::uint64_t hash, Same&& same) const {
    if (capacity_ == 0) return kNoIndex;
    return id_at(probe(tag_of(hash), same));
  }

  // As find; when no value matches, adds `id` under this hash (claiming the slot where the probe
  // ended) and returns kNoIndex. The caller keeps size() below kMaxEntries.
  template <class Same>
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t id, Same&& same) {
    if (size_ + 1 > capacity_ / 4 * 3) reserve(2 * size_ + 1);
    const std::uint32_t tag = tag_of(hash);
    const std::size_t i = probe(tag, same);
    if (slots_[i].id_plus_one != 0) return slots_[i].id_plus_one - 1;
    slots_[i] = Slot{tag, id + 1};
    ++size_;
    return kNoIndex;
  }

  // As find_or_insert, except that a matching entry is given `id` in place of its own; returns
  // the id it held, or kNoIndex when `id` was added as a new entry.
  template <class Same>
  std::uint32_t insert_or_assign(std::uint64_t hash, std::uint32_t id, Same&& same) {
    if (size_ + 1 > capacity_ / 4 * 3) reserve(2 * size_ + 1);
    const std::uint32_t tag = tag_of(hash);
    const std::size_t i = probe(tag, same);
    const std::uint32_t held = id_at(i);
    if (held == kNoIndex) ++size_;
    slots_[i] = Slot{tag, id + 1};
    return held;
  }

  // A hint that a lookup of `hash` follows soon.
  void prefetch(std::uint64_t hash) const noexcept {
    if (capacity_ != 0) cache_prefetch(&slots_[home(tag_of(hash))]);
  }

  // Adds an id whose value is known to be absent. The caller keeps size() below kMaxEntries.
  void insert(std::uint64_t hash, std::uint32_t id);

  void reserve(std::size_t entries);
  // Removes every entry and keeps the slots, for a table filled again and again.
  void clear() noexcept;

  // Removes the entry of `id` stored under `hash`, if present, shifting the rest of its probe run
  // back over the gap, so that no tombstone is left; true when it was present. Allocates nothing:
  // rollbacks rely on it.
  bool erase(std::uint64_t hash, std::uint32_t id) noexcept;

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t id_plus_one;
  };

  // The slot holding the entry under `tag` that satisfies `same`, or the empty slot that ends
  // its probe run. Requires a non-empty slot array.
  template <class Same>
  std::size_t probe(std::uint32_t tag, Same& same) const {
    for (std::size_t i = home(tag);; i = (i + 1) & mask_) {
      const Slot slot = slots_[i];
      if (slot.id_plus_one == 0 || (slot.tag == tag && same(slot.id_plus_one - 1))) return i;
    }
  }
  std::uint32_t id_at(std::size_t i) const noexcept {
    return slots_[i].id_plus_one == 0 ? kNoIndex : slots_[i].id_plus_one - 1;
  }

  static std::uint32_t tag_of(std::uint64_t hash) noexcept {
    return static_cast<std::uint32_t>(hash >> 32) & collision_mask_for_testing;
  }
  // Fibonacci placement spreads tags that differ only in their low bits.
  std::size_t home(std::uint32_t tag) const noexcept {
    return static_cast<std::uint32_t>(tag * kGoldenRatio32) >> shift_;
  }
  void place(Slot slot) noexcept;
  void grow_to(std::size_t capacity);
  // Zeroed slot arrays; big ones are mapped (above): a probe lands on a random slot, and with
  // 4 KiB pages it would mostly miss the TLB.
  static Slot* allocate(std::size_t capacity);
  static void release(Slot* slots, std::size_t capacity) noexcept;

  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 32;
};

}  // namespace zembric
