// RuleScheduler: decides, per iteration, which matches of each rule the runner uses.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/matcher.h"
#include "egraph/rewrite.h"

namespace zembric::egraph {

// The default operations use every match and never hold a rule back.
class RuleScheduler {
 public:
  virtual ~RuleScheduler() = default;

  // Asked only in an iteration that applied nothing: may the run stop here?
  virtual bool can_stop(std::size_t iteration);
  virtual std::vector<SearchMatch> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                  const Rewrite& rewrite);
  // Returns the number of applications that changed the e-graph.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                    std::span<const SearchMatch> matches);
};

}  // namespace zembric::egraph
