#include "optimizer/key_table.h"

#include <stdexcept>

#include "store/optimizer_key.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {

KeyTable::KeyTable() : KeyTable(fresh_hash_seed()) {}

KeyTable::KeyTable(std::uint64_t seed) : seed_(seed), begin_{0} {}

KeyId KeyTable::find(std::string_view key) const {
  return index_.find(optimizer_key_hash(key, seed_),
                     [&](std::uint32_t id) { return text(id) == key; });
}

void KeyTable::reserve(std::size_t keys, std::size_t text) {
  chars_.reserve(text);
  begin_.reserve(keys + 1);
  index_.reserve(keys);
}

KeyId KeyTable::intern(std::string_view key) {
  const std::uint64_t hash = optimizer_key_hash(key, seed_);
  const KeyId found = index_.find(hash, [&](std::uint32_t id) { return text(id) == key; });
  if (found != kNoIndex) return found;
  return add_new(key, hash);
}

KeyId KeyTable::add_new(std::string_view key, std::uint64_t hash) {
  if (size() >= FlatIdIndex::kMaxEntries) {
    throw std::length_error("a key table holds at most 4294967294 keys");
  }
  const auto id = static_cast<KeyId>(size());
  chars_.append(key);
  begin_.push_back(chars_.size());
  index_.insert(hash, id);
  return id;
}

}  // namespace zembric
