// ShapeTable: the distinct shapes of a store's nodes, a node's content apart from its inputs, each
// with its optimizer key, and the shape of each node. A reduction keys its terms by shape: it reads
// one id per node instead of spelling out params and descriptors, and each key text is built once
// per store, when its first node is added, while that node is still in the cache. A store shapes
// only a prefix of its nodes (see StoreCore).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/node.h"
#include "support/flat_id_index.h"

namespace zembric {

using ShapeId = std::uint32_t;

class ShapeTable {
 public:
  ShapeTable();

  // Nodes below this id have a shape.
  std::size_t shaped() const noexcept { return shape_of_.size(); }
  // Gives nodes[shaped()] its shape, which `shape_hash` (from hash_node_and_shape) locates. On
  // failure (for memory) the table is as it was.
  void add_next(std::span<const Node> nodes, std::uint64_t shape_hash);

  std::size_t size() const noexcept { return first_node_.size(); }
  ShapeId shape_of(NodeId id) const noexcept { return shape_of_[id]; }
  // The optimizer key of every node of the shape.
  std::string_view key(ShapeId shape) const noexcept {
    return std::string_view(chars_).substr(begin_[shape], begin_[shape + 1] - begin_[shape]);
  }
  // The bytes of all keys together. Distinct shapes have distinct keys.
  std::size_t key_bytes() const noexcept { return chars_.size(); }
  // The optimizer_key_hash of each key, taken when its shape was added, under key_seed().
  std::uint64_t key_hash(ShapeId shape) const noexcept { return key_hash_[shape]; }
  std::uint64_t key_seed() const noexcept { return key_seed_; }

 private:
  std::vector<ShapeId> shape_of_;   // per node
  std::vector<NodeId> first_node_;  // per shape: the node that brought it, compared on lookup
  std::string chars_;               // the keys' texts, end to end
  std::vector<std::size_t> begin_;  // key k is chars_[begin_[k], begin_[k + 1]); empty before any
  std::vector<std::uint64_t> key_hash_;
  std::uint64_t key_seed_;
  FlatIdIndex index_;  // shape hash -> shape
};

}  // namespace zembric
