// ReducerState: the incremental canonicalizer behind IncrementalReducer. Each store node is read
// once in the reducer's life: its inputs are translated to canonical ids, identity operators are
// replaced by their operand, commuted operand orders are found, and equal nodes are hash-consed.
// The final reduction runs the ordinary pipeline on the canonical form, which is usually far
// smaller than the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "store/node.h"
#include "store/store_core.h"
#include "support/expected.h"
#include "support/flat_id_index.h"
#include "support/no_index.h"

namespace zembric {

class RewriteEngine;
struct ReducedGraph;

class ReducerState {
 public:
  ReducerState();

  // Consumes `delta`, the store's nodes from the watermark on. The nodes are only read: a node is
  // copied when it becomes canonical, so `delta` may be the store's own list under its lock. On
  // BadNodeId the nodes before the offender stay consumed and total_work does not grow; should
  // an exception (out of memory) end it, the state is rolled back to where it was.
  Expected<std::uint64_t, BadNodeId> consume(std::span<const Node> delta);

  // A point to roll back to: everything consumed after it can be undone without allocating.
  struct Checkpoint {
    std::size_t consumed;
    std::size_t canonical;
    std::uint64_t total;
  };
  Checkpoint checkpoint() const noexcept { return {id_map_.size(), canonical_.size(), total_}; }
  void rollback(const Checkpoint& to) noexcept;

  // Reduces the canonical form against store ids `outputs`. Leaves the state unchanged. With
  // `with_map`, the graph's locations are those of the canonical nodes, by canonical id.
  Expected<ReducedGraph, BadNodeId> reduce_canonical(std::span<const NodeId> outputs,
                                                     const RewriteEngine& engine,
                                                     bool maximal_fusion,
                                                     bool with_map = false) const;

  std::uint64_t watermark() const noexcept { return id_map_.size(); }
  std::uint64_t total_work() const noexcept { return total_; }
  std::uint64_t canonical_count() const noexcept { return canonical_.size(); }
  std::span<const NodeId> id_map() const noexcept { return id_map_; }

 private:
  // The canonical node equal to `node` with its inputs replaced by `inputs` (in either order when
  // `commutative`), or kNoIndex.
  std::uint32_t lookup(const Node& node, std::span<const NodeId> inputs, bool commutative,
                       std::uint64_t hash) const;
  NodeId append(const Node& node, std::span<const NodeId> inputs, std::uint64_t hash);
  // consume without the rollback.
  Expected<std::uint64_t, BadNodeId> consume_nodes(std::span<const Node> delta);

  std::vector<Node> canonical_;
  std::vector<NodeId> id_map_;
  std::vector<NodeId> inputs_;  // the translated inputs of the node being consumed
  FlatIdIndex index_;           // canonical_ by value: finds the canonical node equal to a new one
  std::uint64_t seed_;
  std::uint64_t total_ = 0;
};

}  // namespace zembric
