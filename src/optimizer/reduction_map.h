// ReductionMap: where a reduction put each value. For every root, the reduced node whose result is
// the root's value; for every node of the source graph, the reduced node, and the Stage member
// inside it, that computes the node's value, or nowhere when no root needs it. A node merged with
// another (an identity with its operand, a commuted pair, equal nodes) lies where that one does.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "store/node.h"
#include "support/no_index.h"

namespace zembric {

struct ValueLocation {
  // Not an absent index but a real answer: the value is the node's own result, not a member's.
  static constexpr std::uint32_t kWhole = std::numeric_limits<std::uint32_t>::max();

  // The reduced node, or kNoIndex.
  std::uint32_t node = kNoIndex;
  // The position of the Stage member that computes the value, or kWhole for the node's own
  // result (a boundary node, or the last member of a Stage).
  std::uint32_t member = kWhole;

  bool needed() const noexcept { return node != kNoIndex; }
  friend bool operator==(const ValueLocation&, const ValueLocation&) = default;
};

struct ReductionMap {
  std::vector<NodeId> roots;         // one per root, in root order, repeats kept
  std::vector<ValueLocation> nodes;  // one per source node, by id
};

}  // namespace zembric
