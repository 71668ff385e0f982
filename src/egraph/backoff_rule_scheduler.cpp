#include "egraph/backoff_rule_scheduler.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

std::size_t shifted(std::size_t value, std::size_t bits) {
  if (bits >= std::numeric_limits<std::size_t>::digits) {
    throw InternalError("attempt to shift left by " + std::to_string(bits) + " bits");
  }
  return value << bits;
}

}  // namespace

[[gnu::hot]] BackoffRuleScheduler::BackoffRuleScheduler(std::size_t match_limit,
                                                        std::size_t ban_length)
    : match_limit_(match_limit), ban_length_(ban_length) {}

[[gnu::hot]] void BackoffRuleScheduler::reserve(std::size_t rules) {
  stats_.reserve(rules);
  stats_index_.reserve(rules);
}

[[gnu::hot]] RuleStats& BackoffRuleScheduler::stats_for(Symbol rule) {
  auto [index, inserted] = stats_index_.try_emplace(rule, stats_.size());
  if (inserted) stats_.emplace_back(rule, RuleStats{0, 0, 0, match_limit_, ban_length_});
  return stats_[*index].second;
}

const RuleStats* BackoffRuleScheduler::stats(Symbol rule) const {
  const std::size_t* index = stats_index_.find(rule);
  return index == nullptr ? nullptr : &stats_[*index].second;
}

[[gnu::hot]] std::optional<std::size_t> BackoffRuleScheduler::allowance(std::size_t iteration,
                                                                        Symbol rule) {
  const RuleStats& stats = stats_for(rule);
  if (iteration < stats.banned_until) return std::nullopt;
  return shifted(stats.match_limit, stats.times_banned);
}

[[gnu::hot]] bool BackoffRuleScheduler::record_search(std::size_t iteration, Symbol rule,
                                                      std::size_t matches) {
  RuleStats& stats = stats_for(rule);
  if (matches > shifted(stats.match_limit, stats.times_banned)) {
    const std::size_t ban = shifted(stats.ban_length, stats.times_banned);
    stats.times_banned += 1;
    stats.banned_until = iteration + ban;
    return false;
  }
  stats.times_applied += 1;
  return true;
}

std::vector<SearchMatch> BackoffRuleScheduler::search_rewrite(std::size_t iteration,
                                                              const EGraph& egraph,
                                                              const Rewrite& rewrite) {
  const std::optional<std::size_t> threshold = allowance(iteration, rewrite.name);
  if (!threshold) return {};
  // One match past the allowance is enough to decide on a ban.
  const std::size_t limit =
      *threshold == std::numeric_limits<std::size_t>::max() ? *threshold : *threshold + 1;
  // Counting first, where that needs no matches built, spares building the matches of a search
  // that ends in a ban: most searches of a large graph.
  std::vector<SearchMatch> matches;
  std::optional<std::size_t> total = count_with_limit(rewrite.searcher, egraph, limit);
  if (!total) {
    matches = search_with_limit(rewrite.searcher, egraph, limit);
    total = 0;
    for (const SearchMatch& match : matches)
      *total += match.substs.size();
  }
  if (!record_search(iteration, rewrite.name, *total)) return {};
  if (matches.empty() && *total > 0) matches = search_with_limit(rewrite.searcher, egraph, limit);
  return matches;
}

std::size_t BackoffRuleScheduler::apply_rewrite(std::size_t /*iteration*/, EGraph& egraph,
                                                const Rewrite& rewrite,
                                                std::span<const SearchMatch> matches) {
  return apply_matches(rewrite.applier, egraph, matches).size();
}

[[gnu::hot]] bool BackoffRuleScheduler::can_stop(std::size_t iteration) {
  std::size_t earliest = std::numeric_limits<std::size_t>::max();
  bool any_banned = false;
  for (const auto& [rule, stats] : stats_) {
    if (stats.banned_until > iteration) {
      any_banned = true;
      earliest = std::min(earliest, stats.banned_until);
    }
  }
  if (!any_banned) return true;

  const std::size_t delta = earliest - iteration;
  std::size_t unbanned = 0;
  for (auto& [rule, stats] : stats_) {
    if (stats.banned_until > iteration) {
      stats.banned_until -= delta;
      if (stats.banned_until == iteration) ++unbanned;
    }
  }
  if (unbanned == 0) throw InternalError("fast-forward unbanned no rule");
  return false;
}

}  // namespace zembric::egraph
