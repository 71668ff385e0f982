// Stage fusion: the last step of a reduction. Every operator of the hash-consed graph becomes a
// member of exactly one Stage node; every other node is a boundary node, emitted as a node of its
// own kind rebuilt from its prototype.
#pragma once

#include <cstdint>
#include <vector>

#include "optimizer/prototype_table.h"
#include "optimizer/reduction_map.h"
#include "optimizer/rewrite_engine.h"
#include "store/node.h"
#include "store/reduced_store.h"
#include "store/store_core.h"

namespace zembric {

struct FusionResult {
  NodeList nodes;               // every input names an earlier node; no two are equal
  std::vector<NodeId> outputs;  // one per graph root, in root order, repeats kept
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
  // When asked for: per graph node, the emitted node and Stage member holding its value.
  std::vector<ValueLocation> locations;
};

// Boundary nodes are copies of their key's prototype; `maximal_fusion` selects the maximal rule
// instead of the single-use rule. `locate` fills FusionResult::locations.
FusionResult fuse_and_emit(const TermGraph& graph, const PrototypeTable& prototypes,
                           bool maximal_fusion, bool locate = false);

}  // namespace zembric
