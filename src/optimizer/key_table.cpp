#include "optimizer/key_table.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "store/optimizer_key.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {

namespace {

// Blocks grow by doubling up to this size, so that a table of many keys wastes little at its end.
constexpr std::size_t kLargestGrowth = std::size_t{1} << 20;
constexpr std::size_t kSmallestBlock = 1024;

}  // namespace

[[gnu::hot]] KeyTable::KeyTable() : KeyTable(fresh_hash_seed()) {}

[[gnu::hot]] KeyTable::KeyTable(std::uint64_t seed) : seed_(seed) {}

[[gnu::hot]] KeyId KeyTable::find(std::string_view key) const {
  return index_.find(optimizer_key_hash(key, seed_),
                     [&](std::uint32_t id) { return text(id) == key; });
}

[[gnu::hot]] void KeyTable::reserve(std::size_t keys, std::size_t text) {
  texts_.reserve(keys);
  index_.reserve(keys);
  if (text > room_) start_block(text);
}

KeyId KeyTable::intern(std::string_view key) {
  const std::uint64_t hash = optimizer_key_hash(key, seed_);
  const KeyId found = index_.find(hash, [&](std::uint32_t id) { return text(id) == key; });
  if (found != kNoIndex) return found;
  return add_new(key, hash);
}

KeyId KeyTable::add_new(std::string_view key, std::uint64_t hash) {
  if (key.empty()) return add(key, hash);
  make_room(key.size());
  std::memcpy(free_, key.data(), key.size());
  const KeyId id = add(std::string_view(free_, key.size()), hash);
  free_ += key.size();
  room_ -= key.size();
  return id;
}

[[gnu::hot]] KeyId KeyTable::add_borrowed(std::string_view key, std::uint64_t hash) {
  return add(key, hash);
}

KeyId KeyTable::add(std::string_view text, std::uint64_t hash) {
  if (size() >= FlatIdIndex::kMaxEntries) {
    throw std::length_error("a key table holds at most 4294967294 keys");
  }
  const auto id = static_cast<KeyId>(size());
  texts_.push_back(text);
  try {
    index_.insert(hash, id);
  } catch (...) {
    texts_.pop_back();
    throw;
  }
  return id;
}

void KeyTable::make_room(std::size_t bytes) {
  if (bytes <= room_) return;
  start_block(std::max({bytes, kSmallestBlock, std::min(2 * block_size_, kLargestGrowth)}));
}

void KeyTable::start_block(std::size_t size) {
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
  block_size_ = size;
  free_ = blocks_.back().get();
  room_ = size;
}

}  // namespace zembric
