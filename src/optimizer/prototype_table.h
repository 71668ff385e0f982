// PrototypeTable: optimizer key -> the first node that has it. The rewrite engine and the
// canonical graph carry keys only; fusion rebuilds every boundary node from its prototype. The
// table borrows both the key texts and the nodes, which must outlive it; it copies nothing.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "store/flat_id_index.h"
#include "store/node.h"

namespace zembric {

class PrototypeTable {
 public:
  PrototypeTable();

  void reserve(std::size_t entries);
  // Records `node` under `key` unless the key already has a prototype: the first one wins.
  void add(std::string_view key, const Node& node);
  // Throws InternalError "no entry found for key" when the key has no prototype.
  const Node& at(std::string_view key) const;
  std::size_t size() const noexcept { return entries_.size(); }

 private:
  struct Entry {
    std::string_view key;
    const Node* node;
  };

  std::uint64_t hash(std::string_view key) const noexcept;
  std::uint32_t find(std::string_view key, std::uint64_t hash) const;

  std::uint64_t seed_;
  FlatIdIndex index_;
  std::vector<Entry> entries_;
};

}  // namespace zembric
