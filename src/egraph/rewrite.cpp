#include "egraph/rewrite.h"

#include <algorithm>
#include <utility>

#include "support/internal_error.h"

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

Expected<Rewrite, RewriteError> make_rewrite(std::string_view name, Pattern searcher,
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

namespace {

// The applier's node when it is one operator over variables only (a commutation), else null.
const ENode* node_over_variables(const Pattern& applier) {
  if (applier.tree.empty()) return nullptr;
  const ENode* root = std::get_if<ENode>(&applier.tree.back());
  if (root == nullptr) return nullptr;
  for (const ClassId child : root->children()) {
    if (!std::holds_alternative<PatternVar>(applier.tree[child])) return nullptr;
  }
  return root;
}

// Whether `subst` would add, through `root`, a node that the matched class already holds. Then
// the match changes nothing, as on the last iteration of every saturated run, where each
// commutation meets its mirror; the check spares that iteration a hash-cons probe per match. The
// substitution's classes were roots when the search ran on the rebuilt graph and stay roots until
// a merge, after which surely_holds answers false whatever it is given, so they need no find.
bool adds_nothing(const ENode& root, const PatternTree& tree, const EGraph& egraph,
                  const Substitution& subst, ClassId eclass) {
  ENode node = root;
  for (ClassId& child : node.children()) {
    const std::optional<ClassId> id = subst.get(std::get<PatternVar>(tree[child]).name);
    if (!id) return false;  // the ordinary path reports it
    child = *id;
  }
  return egraph.surely_holds(eclass, node);
}

}  // namespace

std::vector<ClassId> apply_matches(const Pattern& applier, EGraph& egraph,
                                   std::span<const SearchMatch> matches) {
  std::vector<ClassId> changed;
  std::vector<ClassId> ids;
  const ENode* root = node_over_variables(applier);
  for (const SearchMatch& match : matches) {
    for (const Substitution& subst : match.substs) {
      // After the first merge no class can be sure any more: the check would only cost.
      if (root != nullptr && !egraph.has_merged_since_rebuild() &&
          adds_nothing(*root, applier.tree, egraph, subst, match.eclass)) {
        continue;
      }
      const ClassId id = instantiate_into(applier.tree, egraph, subst, ids);
      // The new id goes first so that, on equal parent counts, its root survives the merge.
      if (egraph.union_classes(id, match.eclass)) changed.push_back(id);
    }
  }
  return changed;
}

}  // namespace zembric::egraph
