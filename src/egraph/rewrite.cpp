#include "egraph/rewrite.h"

#include <algorithm>
#include <utility>

#include "store/internal_error.h"

namespace zembric::egraph {
namespace {

ClassId instantiate_into(const PatternTree& applier, EGraph& egraph, const Substitution& subst,
                         std::vector<ClassId>& ids) {
  ids.clear();
  for (const PatternEntry& entry : applier) {
    if (const auto* var = std::get_if<PatternVar>(&entry)) {
      const std::optional<ClassId> id = subst.get(var->name);
      if (!id) {
        throw InternalError("substitution has no value for " + std::string(symbol_text(var->name)));
      }
      ids.push_back(*id);
      continue;
    }
    ENode node = std::get<ENode>(entry);
    for (ClassId& child : node.children())
      child = ids[child];
    ids.push_back(egraph.add(std::move(node)));
  }
  if (ids.empty()) throw InternalError("empty applier pattern");
  return ids.back();
}

}  // namespace

std::variant<Rewrite, RewriteError> make_rewrite(std::string_view name, Pattern searcher,
                                                 Pattern applier) {
  const Symbol name_symbol = intern_symbol(name);
  const std::vector<Symbol> bound = pattern_variables(searcher.tree);
  for (const Symbol var : pattern_variables(applier.tree)) {
    if (std::ranges::find(bound, var) == bound.end()) {
      return RewriteError{"Rewrite " + std::string(name) + " refers to unbound var " +
                          std::string(symbol_text(var))};
    }
  }
  return Rewrite{name_symbol, std::move(searcher), std::move(applier)};
}

ClassId instantiate(const PatternTree& applier, EGraph& egraph, const Substitution& subst) {
  std::vector<ClassId> ids;
  return instantiate_into(applier, egraph, subst, ids);
}

std::vector<ClassId> apply_matches(const Pattern& applier, EGraph& egraph,
                                   std::span<const SearchMatch> matches) {
  std::vector<ClassId> changed;
  std::vector<ClassId> ids;
  for (const SearchMatch& match : matches) {
    for (const Substitution& subst : match.substs) {
      const ClassId id = instantiate_into(applier.tree, egraph, subst, ids);
      // The new id goes first so that, on equal parent counts, its root survives the merge.
      if (egraph.union_classes(id, match.eclass)) changed.push_back(id);
    }
  }
  return changed;
}

}  // namespace zembric::egraph
