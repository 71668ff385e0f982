// BackoffRuleScheduler: a rule that yields more matches than its allowance is set aside for a
// while, and each ban doubles both its next allowance and its next ban length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/flat_hash_map.h"
#include "egraph/rule_scheduler.h"
#include "egraph/symbol.h"

namespace zembric::egraph {

struct RuleStats {
  std::size_t times_applied = 0;  // iterations whose matches were accepted
  std::size_t banned_until = 0;   // first iteration in which the rule is searched again
  std::size_t times_banned = 0;
  std::size_t match_limit = 0;
  std::size_t ban_length = 0;
};

class BackoffRuleScheduler : public RuleScheduler {
 public:
  static constexpr std::size_t kDefaultMatchLimit = 1000;
  static constexpr std::size_t kDefaultBanLength = 5;

  explicit BackoffRuleScheduler(std::size_t match_limit = kDefaultMatchLimit,
                                std::size_t ban_length = kDefaultBanLength);

  // When only banned rules hold the run back, shortens every ban so the earliest one ends now.
  bool can_stop(std::size_t iteration) override;
  std::vector<SearchMatch> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                          const Rewrite& rewrite) override;
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            std::span<const SearchMatch> matches) override;

  // Room for the statistics of `rules` rules, so that the first searches of each grow nothing.
  void reserve(std::size_t rules);

  // Statistics of a rule (by name) searched at least once.
  const RuleStats* stats(Symbol rule) const;

  // The two halves of search_rewrite's decision, for a caller that counts matches its own way.
  // The most matches `rule` may have in `iteration` without a ban, or nullopt while it is banned.
  std::optional<std::size_t> allowance(std::size_t iteration, Symbol rule);
  // Records a search of `rule` in `iteration` that found `matches`, at most one past the
  // allowance: beyond it, a ban; else an accepted iteration. True when the matches are accepted.
  bool record_search(std::size_t iteration, Symbol rule, std::size_t matches);

 private:
  struct SymbolHash {
    std::uint64_t operator()(Symbol s) const { return s; }
  };

  RuleStats& stats_for(Symbol rule);

  std::size_t match_limit_;
  std::size_t ban_length_;
  // Insertion-ordered: entries in order of first search, indexed by rule name.
  std::vector<std::pair<Symbol, RuleStats>> stats_;
  FlatHashMap<Symbol, std::size_t, SymbolHash> stats_index_;
};

}  // namespace zembric::egraph
