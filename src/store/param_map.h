// ParamValue and ParamMap: a node's parameters. Values of different variants are never equal;
// floats compare by bit pattern after every NaN is made the one quiet NaN.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "support/owner_count.h"
#include "support/seeded_hash.h"

namespace zembric {

// The codes are written into blobs and keys; their order is the variant order below.
enum class ParamType : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

// Bits of a double with every NaN replaced by 0x7ff8000000000000.
std::uint64_t float_identity_bits(double value) noexcept;

class ParamValue {
 public:
  static ParamValue of_int(std::int64_t v) {
    return ParamValue(Storage(std::in_place_index<0>, v));
  }
  static ParamValue of_float(double v) { return ParamValue(Storage(std::in_place_index<1>, v)); }
  static ParamValue of_bool(bool v) { return ParamValue(Storage(std::in_place_index<2>, v)); }
  static ParamValue of_str(std::string v) {
    return ParamValue(Storage(std::in_place_index<3>, std::move(v)));
  }

  ParamType type() const noexcept { return static_cast<ParamType>(value_.index()); }
  std::int64_t as_int() const { return std::get<0>(value_); }
  double as_float() const { return std::get<1>(value_); }
  bool as_bool() const { return std::get<2>(value_); }
  const std::string& as_str() const { return std::get<3>(value_); }

  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept;

 private:
  using Storage = std::variant<std::int64_t, double, bool, std::string>;
  explicit ParamValue(Storage value) : value_(std::move(value)) {}
  Storage value_;
};

using ParamEntry = std::pair<std::string, ParamValue>;

// Entries sorted by the unsigned bytes of their keys (stable, so repeated keys keep their order).
// One pointer wide: most nodes have no parameters, and those that do keep their entries in one
// allocation. A map never changes once built, so copies share that allocation under an atomic
// count: a reduction copies every boundary node it emits, and the maps are most of such a node.
class ParamMap {
  struct Block;

 public:
  ParamMap() noexcept = default;
  ParamMap(const ParamMap& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->owners.add();
  }
  ParamMap& operator=(const ParamMap& other) noexcept {
    ParamMap(other).swap(*this);
    return *this;
  }
  ParamMap(ParamMap&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  ParamMap& operator=(ParamMap&& other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~ParamMap() {
    if (block_ != nullptr) release(block_);
  }
  void swap(ParamMap& other) noexcept { std::swap(block_, other.block_); }

  static ParamMap from_unsorted(std::vector<ParamEntry> entries);

  // Builds a map of at most `capacity` entries straight in its one allocation, so a converter
  // needs no list of its own; finish() sorts like from_unsorted.
  class Builder {
   public:
    explicit Builder(std::size_t capacity);
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;
    ~Builder() {
      if (block_ != nullptr) destroy(block_);
    }

    // Throws InternalError past the capacity.
    void add(std::string_view key, ParamValue value);
    ParamMap finish() &&;

   private:
    Block* block_ = nullptr;
    std::size_t capacity_;
  };

  bool empty() const noexcept { return block_ == nullptr; }
  std::size_t size() const noexcept { return block_ == nullptr ? 0 : block_->size; }
  std::span<const ParamEntry> entries() const noexcept { return {begin(), size()}; }
  const ParamEntry* begin() const noexcept { return block_ == nullptr ? nullptr : block_->data(); }
  const ParamEntry* end() const noexcept { return begin() + size(); }

  friend bool operator==(const ParamMap& a, const ParamMap& b) noexcept;
  friend void add_param_entries(SeededHasher& h, const ParamMap& params) noexcept;

 private:
  // A header followed by `size` entries in the same allocation, shared by its owners. The digest
  // of the entries, under one seed per process, is taken once the entries are final: hashing a
  // node then costs one word for its params, and unequal digests tell unequal maps apart at once.
  struct Block {
    std::size_t size;
    OwnerCount owners;
    std::uint64_t digest;
    ParamEntry* data() noexcept;
  };
  // Entries start at the first multiple of their alignment past the header.
  static constexpr std::size_t kEntryOffset =
      (sizeof(Block) + alignof(ParamEntry) - 1) / alignof(ParamEntry) * alignof(ParamEntry);
  // A block holding `entries`, moved in.
  static Block* create(std::span<ParamEntry> entries);
  static Block* new_block(std::size_t capacity);
  // Drops one share; the last one destroys the entries and frees the block.
  static void release(Block* block) noexcept;
  static void destroy(Block* block) noexcept;
  static void seal(Block* block) noexcept;

  Block* block_ = nullptr;
};

// Feeds the map to `h` (its digest, which covers every key, type and value, NaNs as one), so that
// equal maps hash alike.
void add_param_entries(SeededHasher& h, const ParamMap& params) noexcept;

}  // namespace zembric
