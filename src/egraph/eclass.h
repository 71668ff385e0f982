// EClass: one equivalence class of e-nodes, stored under its root id.
#pragma once

#include <cstdint>

#include "egraph/enode.h"
#include "egraph/small_vector.h"
#include "egraph/union_find.h"

namespace zembric::egraph {

struct EClass {
  ClassId id = 0;
  // Canonical (children are roots, sorted, no duplicates) directly after a rebuild. Most classes
  // hold a single node, which then lives inside the class itself.
  SmallVector<ENode, 1> nodes;
  // The nodes that have this class among their children, each named by the id it was added
  // under: once per node, not per child position, and never a copy of the node, so that a node
  // with many inputs costs one id per distinct child class.
  SmallVector<ClassId, 2> parents;
  // Child positions, over all nodes, that name this class: the weight that decides which side of
  // a merge survives, counted as if each position held its own parent entry.
  std::uint64_t parent_uses = 0;
};

}  // namespace zembric::egraph
