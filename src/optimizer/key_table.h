// KeyTable: the distinct key texts of one reduction, each stored once and named by a dense id. The
// ids are the e-graph's operators and the terms' keys, so equal ids mean equal texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

  // The id of `key`, added when new.
  KeyId intern(std::string_view key);
  // The id of `key`, which the caller knows the table lacks, given its optimizer_key_hash under
  // the table's seed: neither a lookup nor a hash is made.
  KeyId add_new(std::string_view key, std::uint64_t hash);
  // The id of `key`, or kNoIndex.
  KeyId find(std::string_view key) const;
  // Room for `keys` keys of `text` bytes in all, so that a table filled with about that many
  // grows no further.
  void reserve(std::size_t keys, std::size_t text);
  std::string_view text(KeyId id) const noexcept {
    return std::string_view(chars_).substr(begin_[id], begin_[id + 1] - begin_[id]);
  }
  std::size_t size() const noexcept { return begin_.size() - 1; }

 private:
  std::uint64_t seed_;
  std::string chars_;
  std::vector<std::size_t> begin_;  // text k is chars_[begin_[k], begin_[k + 1])
  FlatIdIndex index_;
};

}  // namespace zembric
