// Pattern search: runs a compiled program against the classes of a clean e-graph.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/program.h"
#include "egraph/small_vector.h"
#include "egraph/symbol.h"
#include "egraph/union_find.h"

namespace zembric::egraph {

struct VarBinding {
  Symbol var;
  ClassId id;
  friend bool operator==(const VarBinding&, const VarBinding&) = default;
};

// Variable bindings in the order of the program's `subst`; up to three stay inline.
class Substitution {
 public:
  void push_back(VarBinding binding) { bindings_.push_back(binding); }
  std::optional<ClassId> get(Symbol var) const;
  std::size_t size() const { return bindings_.size(); }
  const VarBinding* begin() const { return bindings_.begin(); }
  const VarBinding* end() const { return bindings_.end(); }
  friend bool operator==(const Substitution&, const Substitution&) = default;

 private:
  // Two inline: every rule the engine runs binds one or two variables, and a match's size is
  // what a search over a large graph writes and its apply reads back.
  SmallVector<VarBinding, 2> bindings_;
};

// Most searched classes yield one substitution, or two once a commutative node's mirror has
// joined its class; both stay inline.
using SubstitutionList = SmallVector<Substitution, 2>;

struct SearchMatch {
  ClassId eclass;
  SubstitutionList substs;  // never empty
};

// Substitutions of `program` rooted at class `eclass`, at most `limit`, in discovery order.
SubstitutionList search_class(const Program& program, const EGraph& egraph, ClassId eclass,
                              std::size_t limit);

// Matches of `pattern` over the whole e-graph, with at most `limit` substitutions in total.
std::vector<SearchMatch> search_with_limit(const Pattern& pattern, const EGraph& egraph,
                                           std::size_t limit);

// min(limit, substitutions search_with_limit would find) without building them, for a pattern
// that is one operator over distinct variables; nullopt for any other pattern.
std::optional<std::size_t> count_with_limit(const Pattern& pattern, const EGraph& egraph,
                                            std::size_t limit);

}  // namespace zembric::egraph
