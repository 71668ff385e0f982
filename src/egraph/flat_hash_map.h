// FlatHashMap: open-addressing hash map with linear probing over one control-byte array and one
// slot array. Insert and lookup only; entries are never erased, which keeps probing tombstone-free.
// Iteration is deliberately not offered: no result may depend on hash order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "support/big_block.h"
#include "support/cache_prefetch.h"
#include "support/hash_mixing.h"

namespace zembric::egraph {

// A test seam, all ones otherwise: every map's hashes are masked with it after mixing, so that a
// test can make unequal keys collide and exercise the e-graph's equality checks on small graphs.
// Set only while no map is in use.
inline std::uint64_t flat_hash_collision_mask_for_testing = ~std::uint64_t{0};

template <class Key, class Value, class Hash, class Equal = std::equal_to<>>
class FlatHashMap {
 public:
  FlatHashMap() = default;
  explicit FlatHashMap(Hash hash) : hash_(std::move(hash)) {}
  FlatHashMap(const FlatHashMap&) = delete;
  FlatHashMap& operator=(const FlatHashMap&) = delete;
  FlatHashMap(FlatHashMap&& other) noexcept { swap(other); }
  FlatHashMap& operator=(FlatHashMap&& other) noexcept {
    FlatHashMap(std::move(other)).swap(*this);
    return *this;
  }
  ~FlatHashMap() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  template <class K>
  const Value* find(const K& key) const {
    if (size_ == 0) return nullptr;
    const std::uint64_t h = hashed(key);
    const std::uint8_t tag = tag_of(h);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      if (ctrl_[i] == kEmpty) return nullptr;
      if (ctrl_[i] == tag && equal_(slots_[i].key, key)) return &slots_[i].value;
    }
  }
  template <class K>
  Value* find(const K& key) {
    return const_cast<Value*>(std::as_const(*this).find(key));
  }

  // Hint that `key` is about to be looked up or inserted: starts loading its first control byte
  // and slot, so that a probe issued a little later finds them in cache.
  template <class K>
  void prefetch(const K& key) const {
    if (ctrl_ == nullptr) return;
    const std::size_t i = hashed(key) & mask_;
    cache_prefetch(&ctrl_[i]);
    cache_prefetch(&slots_[i]);
  }

  // Inserts (key, value) unless the key is present; returns the stored value and whether it was
  // inserted.
  std::pair<Value*, bool> try_emplace(Key key, Value value) {
    reserve(size_ + 1);
    const std::uint64_t h = hashed(key);
    const std::uint8_t tag = tag_of(h);
    std::size_t i = h & mask_;
    for (; ctrl_[i] != kEmpty; i = (i + 1) & mask_) {
      if (ctrl_[i] == tag && equal_(slots_[i].key, key)) return {&slots_[i].value, false};
    }
    ctrl_[i] = tag;
    ::new (static_cast<void*>(&slots_[i])) Slot{std::move(key), std::move(value)};
    ++size_;
    return {&slots_[i].value, true};
  }

  // Inserts or overwrites; returns the value that was replaced, if any.
  std::optional<Value> insert_or_assign(Key key, Value value) {
    auto [stored, inserted] = try_emplace(std::move(key), value);
    if (inserted) return std::nullopt;
    return std::exchange(*stored, std::move(value));
  }

  void reserve(std::size_t count) {
    // Load factor at most 3/4 keeps linear probe runs short.
    if (count * 4 <= capacity() * 3) return;
    std::size_t new_capacity = capacity() == 0 ? 16 : capacity() * 2;
    while (count * 4 > new_capacity * 3)
      new_capacity *= 2;
    rehash(new_capacity);
  }

  void swap(FlatHashMap& other) noexcept {
    std::swap(ctrl_, other.ctrl_);
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(size_, other.size_);
    std::swap(hash_, other.hash_);
  }

 private:
  struct Slot {
    Key key;
    Value value;
  };
  static constexpr std::uint8_t kEmpty = 0;

  template <class K>
  std::uint64_t hashed(const K& key) const {
    return mix_hash(hash_(key)) & flat_hash_collision_mask_for_testing;
  }
  static std::uint8_t tag_of(std::uint64_t h) {
    return static_cast<std::uint8_t>(0x80 | (h >> 57));
  }
  std::size_t capacity() const { return ctrl_ == nullptr ? 0 : mask_ + 1; }

  void rehash(std::size_t new_capacity) {
    static_assert(alignof(Slot) <= alignof(std::max_align_t));
    auto* new_ctrl = static_cast<std::uint8_t*>(allocate_zeroed_block(new_capacity));
    Slot* new_slots;
    try {
      new_slots = static_cast<Slot*>(allocate_zeroed_block(new_capacity * sizeof(Slot)));
    } catch (...) {
      release_block(new_ctrl, new_capacity);
      throw;
    }
    std::uint8_t* old_ctrl = std::exchange(ctrl_, new_ctrl);
    Slot* old_slots = std::exchange(slots_, new_slots);
    const std::size_t old_capacity = old_ctrl == nullptr ? 0 : mask_ + 1;
    mask_ = new_capacity - 1;
    for (std::size_t j = 0; j < old_capacity; ++j) {
      if (old_ctrl[j] == kEmpty) continue;
      const std::uint64_t h = hashed(old_slots[j].key);
      std::size_t i = h & mask_;
      while (ctrl_[i] != kEmpty)
        i = (i + 1) & mask_;
      ctrl_[i] = old_ctrl[j];
      ::new (static_cast<void*>(&slots_[i])) Slot{std::move(old_slots[j])};
      old_slots[j].~Slot();
    }
    free_storage(old_ctrl, old_slots, old_capacity);
  }

  void release() {
    if (ctrl_ == nullptr) return;
    for (std::size_t j = 0; j <= mask_; ++j) {
      if (ctrl_[j] != kEmpty) slots_[j].~Slot();
    }
    free_storage(ctrl_, slots_, mask_ + 1);
    ctrl_ = nullptr;
    slots_ = nullptr;
    mask_ = 0;
    size_ = 0;
  }

  static void free_storage(std::uint8_t* ctrl, Slot* slots, std::size_t capacity) {
    release_block(ctrl, capacity);
    release_block(slots, capacity * sizeof(Slot));
  }

  std::uint8_t* ctrl_ = nullptr;
  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  [[no_unique_address]] Hash hash_{};
  [[no_unique_address]] Equal equal_{};
};

}  // namespace zembric::egraph
