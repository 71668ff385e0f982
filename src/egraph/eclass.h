// EClass: one equivalence class of e-nodes, stored under its root id.
#pragma once

#include <vector>

#include "egraph/class_id.h"
#include "egraph/enode.h"
#include "egraph/small_vector.h"

namespace zembric::egraph {

// A node together with the id it was added under; parents and the rebuild worklist hold these.
struct ENodeEntry {
  ENode node;
  ClassId id;
};

struct EClass {
  ClassId id = 0;
  // Canonical (children are roots, sorted, no duplicates) directly after a rebuild. Most classes
  // hold a single node, which then lives inside the class itself.
  SmallVector<ENode, 1> nodes;
  // Every node that has this class among its children, once per such child position.
  SmallVector<ENodeEntry, 1> parents;
};

}  // namespace zembric::egraph
