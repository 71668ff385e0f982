// Rewrite: a named rule from a searcher pattern to an applier pattern, and its application.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/matcher.h"
#include "egraph/pattern.h"
#include "egraph/symbol.h"
#include "egraph/union_find.h"
#include "support/expected.h"

namespace zembric::egraph {

struct Rewrite {
  Symbol name;
  Pattern searcher;
  Pattern applier;
};

struct RewriteError {
  std::string message;
};

// Fails with "Rewrite {name} refers to unbound var {var}" when the applier uses a variable the
// searcher does not bind.
Expected<Rewrite, RewriteError> make_rewrite(std::string_view name, Pattern searcher,
                                             Pattern applier);

// Adds the applier instantiated under `subst` and returns the root of its class.
ClassId instantiate(const PatternTree& applier, EGraph& egraph, const Substitution& subst);

// Instantiates the applier for every substitution and merges it with the matched class; returns
// the instantiated id of every application that changed the e-graph.
std::vector<ClassId> apply_matches(const Pattern& applier, EGraph& egraph,
                                   std::span<const SearchMatch> matches);

}  // namespace zembric::egraph
