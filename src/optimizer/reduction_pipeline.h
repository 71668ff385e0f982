// The reduction pipeline: dead-code elimination from a set of roots, merging of nodes the rewrite
// engine proves equal, common-subexpression elimination and stage fusion, producing a new,
// smaller node list or store together with a report of node counts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "optimizer/reduction_map.h"
#include "optimizer/reduction_report.h"
#include "optimizer/rewrite_engine.h"
#include "store/node.h"
#include "store/reduced_store.h"
#include "store/store_core.h"
#include "support/expected.h"

namespace zembric {

// Inputs of node k are positions smaller than k in `nodes`; outputs are positions, one per root.
struct ReducedGraph {
  NodeList nodes;
  std::vector<NodeId> outputs;
  ReductionReport report;
  // When asked for: one per input node, the position (and member) holding its value.
  std::optional<std::vector<ValueLocation>> locations;
};

struct ReducedStore {
  std::unique_ptr<StoreCore> store;
  ReductionReport report;
  // When asked for, in the ids of `store`.
  std::optional<ReductionMap> map;
};

// `nodes` is topologically ordered (every input names an earlier node) and only read; `roots`
// must all be positions in `nodes` (duplicates allowed). Throws InternalError when either is not.
// `with_map` fills ReducedGraph::locations.
ReducedGraph reduce_graph(std::span<const Node> nodes, std::span<const NodeId> roots,
                          const RewriteEngine& engine, bool maximal_fusion, bool with_map = false);

// A new store holding the reduced nodes (node k gets id k) and marking the reduced outputs; the
// map too, in the new store's ids, when the graph carries locations.
ReducedStore from_reduced(ReducedGraph reduced);

// Reduces against the store's output marks. The store is only read, under its lock: a store of
// fewer than 1024 nodes for the whole reduction, a bigger one for reachability and compaction
// alone (which copy one node per distinct key, not the list).
ReducedStore reduce_with_marks(StoreCore& store, const RewriteEngine& engine, bool maximal_fusion,
                               bool with_map = false);

// Reduces against exactly `outputs`; the first id that names no node fails the call before any
// work is done.
Expected<ReducedStore, BadNodeId> reduce_with_outputs(StoreCore& store,
                                                      std::span<const NodeId> outputs,
                                                      const RewriteEngine& engine,
                                                      bool maximal_fusion, bool with_map = false);

}  // namespace zembric
