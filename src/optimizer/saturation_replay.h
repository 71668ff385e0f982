// SaturationReplay: the classes the saturation runner would end with, found without an e-graph.
//
// The engine's rules only ever merge a commutative node with its mirror and an identity node with
// its operand, so after any iteration the e-graph's classes are exactly the classes of one
// hash-consing pass modulo the rules applied so far (identity nodes take their operand's class;
// commutative nodes are looked up in either operand order). The match counts that drive the
// backoff scheduler follow from those classes too, so the runner's whole schedule (bans, fast
// forwards, its stop when saturated or at the iteration limit) is replayed on the scheduler itself
// at the cost of a few linear passes. Two limits are not replayed: the time limit (a replay takes
// a fraction of the run it stands for) and the node limit, which the replay instead proves out of
// reach from its final classes, declining (nullopt) when it cannot.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "egraph/symbol.h"
#include "optimizer/term_graph.h"

namespace zembric {

// One rule as the replay understands it: its name (the scheduler's key), its kind and the key of
// the nodes it matches (two operands for a commutation, one for an identity).
struct ReplayedRule {
  enum class Kind { Commute, Identity };
  egraph::Symbol name;
  Kind kind;
  std::string key;
};

// For every term, the earliest term of its final class, when the runner (iteration limit
// `iter_limit`, node limit `node_limit`, the default backoff scheduler, `rules` in order) is
// proven to end with those classes; nullopt otherwise.
std::optional<std::vector<TermIndex>> replay_saturation(const TermGraph& input,
                                                        std::span<const ReplayedRule> rules,
                                                        std::size_t iter_limit,
                                                        std::size_t node_limit);

}  // namespace zembric
