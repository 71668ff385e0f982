// PatternTree: a pattern as a flat sequence of entries, children before parents, root last.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "egraph/enode.h"
#include "egraph/symbol.h"

namespace zembric::egraph {

// A pattern variable, named by the symbol of its full text (leading "?" included).
struct PatternVar {
  Symbol name;
  friend bool operator==(const PatternVar&, const PatternVar&) = default;
};

// An operator entry's children are indexes of earlier entries.
using PatternEntry = std::variant<PatternVar, ENode>;
using PatternTree = std::vector<PatternEntry>;

// The distinct variables of `tree`, in order of first appearance.
std::vector<Symbol> pattern_variables(const PatternTree& tree);

}  // namespace zembric::egraph
