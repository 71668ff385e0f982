#include "optimizer/prototype_table.h"

#include <stdexcept>

#include "store/internal_error.h"
#include "store/seeded_hash.h"

namespace zembric {

PrototypeTable::PrototypeTable() : seed_(fresh_hash_seed()) {}

void PrototypeTable::reserve(std::size_t entries) {
  index_.reserve(entries);
  entries_.reserve(entries);
}

std::uint64_t PrototypeTable::hash(std::string_view key) const noexcept {
  SeededHasher h(seed_);
  h.add_bytes(key);
  return h.finish();
}

std::uint32_t PrototypeTable::find(std::string_view key, std::uint64_t hash) const {
  return index_.find(hash, [&](std::uint32_t id) { return entries_[id].key == key; });
}

void PrototypeTable::add(std::string_view key, const Node& node) {
  const std::uint64_t h = hash(key);
  if (find(key, h) != FlatIdIndex::kNone) return;
  if (entries_.size() >= FlatIdIndex::kMaxEntries) {
    throw std::length_error("a prototype table holds at most 4294967294 keys");
  }
  index_.insert(h, static_cast<std::uint32_t>(entries_.size()));
  entries_.push_back(Entry{key, &node});
}

const Node& PrototypeTable::at(std::string_view key) const {
  const std::uint32_t id = find(key, hash(key));
  if (id == FlatIdIndex::kNone) throw InternalError("no entry found for key");
  return *entries_[id].node;
}

}  // namespace zembric
