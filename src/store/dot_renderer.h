// DOT rendering of a store: one labelled vertex per node, a double circle for each output mark,
// one edge per input entry. A pure function of the nodes and marks.
#pragma once

#include <span>
#include <string>

#include "store/node.h"

namespace zembric {

std::string render_dot(std::span<const Node> nodes, std::span<const NodeId> outputs);

}  // namespace zembric
