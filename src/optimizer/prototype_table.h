// PrototypeTable: key id -> the first node that has that key. The rewrite engine and the
// hash-consed graph carry keys only; fusion rebuilds every boundary node from its prototype. Key
// ids are dense, so the table is a flat array. It borrows the nodes, which must then outlive it,
// until copy_from copies them in, so that a reduction reads a store's own list under its lock
// and copies only the prototypes, one node per distinct key.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/rewrite_engine.h"
#include "store/node.h"

namespace zembric {

class PrototypeTable {
 public:
  PrototypeTable() = default;
  // Entries may point into the table's own storage, which a copy would not follow.
  PrototypeTable(const PrototypeTable&) = delete;
  PrototypeTable& operator=(const PrototypeTable&) = delete;
  PrototypeTable(PrototypeTable&&) noexcept = default;
  PrototypeTable& operator=(PrototypeTable&&) noexcept = default;

  // Room for keys below `keys` without growing.
  void reserve(std::size_t keys) { nodes_.reserve(keys); }
  // Records `node` under `key` unless the key already has a prototype: the first one wins.
  void add(KeyId key, const Node& node) {
    if (key >= nodes_.size()) nodes_.resize(std::size_t{key} + 1, nullptr);
    if (nodes_[key] == nullptr) nodes_[key] = &node;
  }
  // Copies every prototype out of `nodes`, the list they were added from; the table then owns
  // them and no longer refers to `nodes`. At most one call per table.
  void copy_from(std::span<const Node> nodes);
  // Throws InternalError ("no entry found for key: ...") when the key has no prototype.
  const Node& at(KeyId key) const;

 private:
  std::vector<const Node*> nodes_;
  std::vector<Node> owned_;
};

}  // namespace zembric
