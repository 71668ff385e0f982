#include "egraph/pattern_tree.h"

#include <algorithm>

namespace zembric::egraph {

std::vector<Symbol> pattern_variables(const PatternTree& tree) {
  std::vector<Symbol> variables;
  for (const PatternEntry& entry : tree) {
    if (const auto* var = std::get_if<PatternVar>(&entry)) {
      if (std::ranges::find(variables, var->name) == variables.end()) {
        variables.push_back(var->name);
      }
    }
  }
  return variables;
}

}  // namespace zembric::egraph
