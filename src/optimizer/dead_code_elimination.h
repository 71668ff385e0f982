// Dead-code elimination: the first pass of a reduction. It keeps the nodes the roots reach and
// turns them into the engine's terms, keyed once each.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/prototype_table.h"
#include "optimizer/reduction_report.h"
#include "optimizer/term_graph.h"
#include "store/node.h"
#include "store/shape_table.h"
#include "support/no_index.h"

namespace zembric {

// The nodes the roots reach, renumbered compactly in id order, as terms over one key table, with
// the roots translated; `compact` receives each node's term, or kNoIndex when no root reaches it.
// Boundary nodes are recorded in `prototypes`, which borrows them. Sets report.reachable_nodes.
// `nodes` must be topologically ordered and `roots` name nodes of it (InternalError otherwise).
// With `shapes` (the store's) the keys of the nodes it has shaped are read from it, not built;
// with `borrow_keys` too, the key table refers to their texts instead of copying them, for a caller
// that keeps the store locked until the terms and every graph that shares their keys are gone.
TermGraph eliminate_dead_code(std::span<const Node> nodes, std::span<const NodeId> roots,
                              PrototypeTable& prototypes, ReductionReport& report,
                              std::vector<std::uint32_t>& compact,
                              const ShapeTable* shapes = nullptr, bool borrow_keys = false);

}  // namespace zembric
