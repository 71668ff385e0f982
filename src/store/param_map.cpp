#include "store/param_map.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string_view>

#include "support/internal_error.h"

namespace zembric {

std::uint64_t float_identity_bits(double value) noexcept {
  return value != value ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(value);
}

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
  if (a.value_.index() != b.value_.index()) return false;
  switch (a.type()) {
    case ParamType::Int:
      return a.as_int() == b.as_int();
    case ParamType::Float:
      return float_identity_bits(a.as_float()) == float_identity_bits(b.as_float());
    case ParamType::Bool:
      return a.as_bool() == b.as_bool();
    case ParamType::Str:
      return a.as_str() == b.as_str();
  }
  return false;
}

namespace {

// Stable, by unsigned key bytes (std::string_view's order). Most maps hold a handful of entries,
// often already in order: insertion sort then moves nothing and needs no buffer.
void sort_entries(ParamEntry* first, ParamEntry* last) {
  const auto less = [](const ParamEntry& a, const ParamEntry& b) {
    return std::string_view(a.first) < std::string_view(b.first);
  };
  if (last - first > 16) {
    std::stable_sort(first, last, less);
    return;
  }
  for (ParamEntry* i = first + (first != last); i < last; ++i) {
    if (!less(*i, i[-1])) continue;
    ParamEntry moving = std::move(*i);
    ParamEntry* j = i;
    do {
      *j = std::move(j[-1]);
      --j;
    } while (j != first && less(moving, j[-1]));
    *j = std::move(moving);
  }
}

}  // namespace

ParamMap::Block* ParamMap::new_block(std::size_t capacity) {
  void* memory = ::operator new(kEntryOffset + capacity * sizeof(ParamEntry));
  return new (memory) Block{0, {}, 0};
}

ParamEntry* ParamMap::Block::data() noexcept {
  return std::launder(
      reinterpret_cast<ParamEntry*>(reinterpret_cast<unsigned char*>(this) + kEntryOffset));
}

ParamMap::Block* ParamMap::create(std::span<ParamEntry> entries) {
  if (entries.empty()) return nullptr;
  Block* block = new_block(entries.size());
  ParamEntry* target = block->data();
  try {
    for (ParamEntry& entry : entries) {
      new (target + block->size) ParamEntry(std::move(entry));
      ++block->size;
    }
  } catch (...) {
    destroy(block);
    throw;
  }
  seal(block);
  return block;
}

void ParamMap::seal(Block* block) noexcept {
  static const std::uint64_t seed = fresh_hash_seed();
  SeededHasher h(seed);
  for (const auto& [key, value] : std::span<const ParamEntry>(block->data(), block->size)) {
    h.add_bytes(key);
    h.add_u64(static_cast<std::uint64_t>(value.type()));
    switch (value.type()) {
      case ParamType::Int:
        h.add_u64(static_cast<std::uint64_t>(value.as_int()));
        break;
      case ParamType::Float:
        h.add_u64(float_identity_bits(value.as_float()));
        break;
      case ParamType::Bool:
        h.add_u64(value.as_bool() ? 1 : 0);
        break;
      case ParamType::Str:
        h.add_bytes(value.as_str());
        break;
    }
  }
  block->digest = h.finish();
}

void ParamMap::release(Block* block) noexcept {
  if (block->owners.drop()) destroy(block);
}

void ParamMap::destroy(Block* block) noexcept {
  if (block == nullptr) return;
  std::destroy_n(block->data(), block->size);
  block->~Block();
  ::operator delete(block);
}

bool operator==(const ParamMap& a, const ParamMap& b) noexcept {
  if (a.block_ == b.block_) return true;
  if (a.block_ == nullptr || b.block_ == nullptr || a.block_->digest != b.block_->digest) {
    return false;
  }
  const auto x = a.entries();
  const auto y = b.entries();
  return std::equal(x.begin(), x.end(), y.begin(), y.end());
}

ParamMap ParamMap::from_unsorted(std::vector<ParamEntry> entries) {
  sort_entries(entries.data(), entries.data() + entries.size());
  ParamMap map;
  map.block_ = create(entries);
  return map;
}

ParamMap::Builder::Builder(std::size_t capacity) : capacity_(capacity) {
  if (capacity > 0) block_ = new_block(capacity);
}

void ParamMap::Builder::add(std::string_view key, ParamValue value) {
  if (block_ == nullptr || block_->size == capacity_) {
    throw InternalError("ParamMap::Builder given more entries than its capacity");
  }
  new (block_->data() + block_->size) ParamEntry(std::string(key), std::move(value));
  ++block_->size;
}

ParamMap ParamMap::Builder::finish() && {
  ParamMap map;
  // An empty map holds no block.
  if (block_ != nullptr && block_->size > 0) {
    sort_entries(block_->data(), block_->data() + block_->size);
    seal(block_);
    map.block_ = std::exchange(block_, nullptr);
  }
  return map;
}

void add_param_entries(SeededHasher& h, const ParamMap& params) noexcept {
  if (params.block_ != nullptr) h.add_u64(params.block_->digest);
}

}  // namespace zembric
