// SaturationEngine: merges the operand orders of commutative operators and operators applied to
// their neutral scalar by equality saturation, then keeps the earliest term of every class.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "egraph/rewrite.h"
#include "egraph/stop_reason.h"
#include "optimizer/rewrite_engine.h"
#include "optimizer/saturation_replay.h"

namespace zembric {

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterLimit = 12;

  // Builds the twelve rules: commute-{add,mul,and,or,eq,ne,maximum,minimum}, then identity-0..3.
  SaturationEngine();
  // The same rules with another iteration limit, for tests of the limit.
  explicit SaturationEngine(std::size_t iter_limit);
  // The same with a fixed node limit instead of one scaled to the input, for tests of that limit.
  SaturationEngine(std::size_t iter_limit, std::size_t node_limit);

  // The engine every reduction uses, built on first use: building parses and interns the rules,
  // which would otherwise cost more than reducing a small graph. run() is safe from any number
  // of threads at once.
  static const SaturationEngine& standard();

  // Replays the runner's schedule without an e-graph where the replay can vouch for the result
  // (see saturation_replay.h), else saturates an e-graph; the output is the same either way, and
  // marked distinct when replayed.
  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override;
  // Always saturates an e-graph: the reference the replay is held to. `stop`, when given,
  // receives why the e-graph's run ended.
  TermGraph run_saturating(const TermGraph& input, std::vector<TermIndex>* placement,
                           egraph::StopReason* stop = nullptr) const;

  std::span<const egraph::Rewrite> rules() const { return rules_; }
  std::size_t iter_limit() const { return iter_limit_; }
  std::span<const ReplayedRule> replayed_rules() const { return replayed_; }

 private:
  // Checks that every child is an earlier term; returns the node limit of a run.
  std::size_t check_terms(const TermGraph& input) const;
  // Every term's final class, by saturating an e-graph under `node_limit`; why it stopped goes to
  // `stop` when given.
  std::vector<std::uint32_t> saturate(const TermGraph& input, std::size_t node_limit,
                                      egraph::StopReason* stop = nullptr) const;
  // The output: the earliest term of each class, children renumbered.
  static TermGraph read_back(const TermGraph& input, std::vector<std::uint32_t> final_class,
                             std::vector<TermIndex>* placement);

  std::vector<egraph::Rewrite> rules_;
  std::vector<ReplayedRule> replayed_;  // rules_ as the replay reads them
  std::size_t iter_limit_ = kIterLimit;
  std::optional<std::size_t> node_limit_;  // else 4 nodes per term and 1024 more
};

}  // namespace zembric
