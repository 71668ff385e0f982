#include "egraph/rule_scheduler.h"

#include <limits>

namespace zembric::egraph {

bool RuleScheduler::can_stop(std::size_t /*iteration*/) {
  return true;
}

std::vector<SearchMatch> RuleScheduler::search_rewrite(std::size_t /*iteration*/,
                                                       const EGraph& egraph,
                                                       const Rewrite& rewrite) {
  return search_with_limit(rewrite.searcher, egraph, std::numeric_limits<std::size_t>::max());
}

std::size_t RuleScheduler::apply_rewrite(std::size_t /*iteration*/, EGraph& egraph,
                                         const Rewrite& rewrite,
                                         std::span<const SearchMatch> matches) {
  return apply_matches(rewrite.applier, egraph, matches).size();
}

}  // namespace zembric::egraph
