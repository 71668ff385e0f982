// KeyTable: the distinct key texts of one reduction, each held once (copied, or borrowed from a
// store locked for the whole reduction) and named by a dense id. The ids are the e-graph's
// operators and the terms' keys, so equal ids mean equal texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "support/flat_id_index.h"
#include "support/no_index.h"

namespace zembric {

using KeyId = std::uint32_t;

// Distinct key texts, numbered in the order they were first interned.
class KeyTable {
 public:
  KeyTable();
  // A table whose keys are located by optimizer_key_hash under `seed`.
  explicit KeyTable(std::uint64_t seed);
  // The texts point into the table's own blocks, which a copy would not follow.
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;

  // The id of `key`, added when new.
  KeyId intern(std::string_view key);
  // The id of `key`, which the caller knows the table lacks, given its optimizer_key_hash under
  // the table's seed: neither a lookup nor a hash is made.
  KeyId add_new(std::string_view key, std::uint64_t hash);
  // As add_new, but the table keeps `key` itself rather than a copy of its text, which must
  // therefore outlive the table.
  KeyId add_borrowed(std::string_view key, std::uint64_t hash);
  // The id of `key`, or kNoIndex.
  KeyId find(std::string_view key) const;
  // Room for `keys` keys, `text` bytes of them copied, so that a table filled with about that
  // many grows no further.
  void reserve(std::size_t keys, std::size_t text);
  std::string_view text(KeyId id) const noexcept { return texts_[id]; }
  std::size_t size() const noexcept { return texts_.size(); }

 private:
  KeyId add(std::string_view text, std::uint64_t hash);
  // At least `bytes` bytes at free_, in a new block when the current one has less room.
  void make_room(std::size_t bytes);
  // Copies go next into a new block of `size` bytes; what the last one had left is given up.
  void start_block(std::size_t size);

  std::uint64_t seed_;
  std::vector<std::string_view> texts_;
  // The copied texts, in blocks that never move, so that the views stay valid as the table grows.
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_size_ = 0;
  char* free_ = nullptr;
  std::size_t room_ = 0;
  FlatIdIndex index_;
};

}  // namespace zembric
