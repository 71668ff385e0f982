// Building a store from a reduced node list: every node is interned in order with its inputs
// translated to the ids given to earlier nodes, then the outputs are marked in order, so the new
// store obeys the same invariants as every other store.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "store/node.h"
#include "store/store_core.h"

namespace zembric {

// Inputs of nodes[k] are positions smaller than k; outputs are positions. Equal nodes collapse
// into one id and repeated output marks into one mark. A broken invariant throws InternalError.
// When `id_of_position` is given it receives the id of every position, or stays empty when each
// position is its id (no two nodes were equal).
std::unique_ptr<StoreCore> from_reduced(std::vector<Node> nodes, std::span<const NodeId> outputs,
                                        std::vector<NodeId>* id_of_position = nullptr);

// As from_reduced, for a list known to hold no two equal nodes, whose inputs name earlier
// positions: the new store takes the list itself as its node array, where from_reduced moves and
// hashes each node again (at a million nodes, two passes over memory far beyond the caches), and
// indexes it only if a node is ever added to it. Positions are ids.
std::unique_ptr<StoreCore> adopt_reduced(NodeList nodes, std::span<const NodeId> outputs);

}  // namespace zembric
