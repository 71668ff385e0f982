// SaturationRunner: applies rewrites to an e-graph in search / apply / rebuild iterations until
// nothing changes or a limit on iterations, size or time is reached.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/rule_scheduler.h"
#include "egraph/stop_reason.h"
#include "egraph/symbol.h"

namespace zembric::egraph {

struct IterationRecord {
  // The e-graph's total size and class count when the iteration began its search.
  std::size_t total_size = 0;
  std::size_t class_count = 0;
  // Rule name -> applications that changed the e-graph, in order of first application; only
  // rules with a non-zero count appear.
  std::vector<std::pair<Symbol, std::size_t>> applied;
  double search_seconds = 0;
  double apply_seconds = 0;
  double rebuild_seconds = 0;
  std::size_t rebuild_unions = 0;
  std::optional<StopReason> stop_reason;
};

class SaturationRunner {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kDefaultIterLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10'000;
  static constexpr Clock::duration kDefaultTimeLimit = std::chrono::seconds(5);

  // An empty e-graph, the default limits and a default BackoffRuleScheduler.
  SaturationRunner();

  SaturationRunner& with_egraph(EGraph egraph);
  SaturationRunner& with_iter_limit(std::size_t iter_limit);
  SaturationRunner& with_node_limit(std::size_t node_limit);
  SaturationRunner& with_time_limit(Clock::duration time_limit);
  SaturationRunner& with_scheduler(std::unique_ptr<RuleScheduler> scheduler);

  // Runs to a stop reason. Never fails because of a limit: the e-graph keeps every merge made,
  // including those of the iteration in which the limit was noticed, and is clean on return.
  SaturationRunner& run(std::span<const Rewrite> rules);

  const EGraph& egraph() const { return egraph_; }
  EGraph& egraph() { return egraph_; }
  const std::vector<IterationRecord>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }

 private:
  IterationRecord run_iteration(std::span<const Rewrite> rules);
  std::optional<StopReason> check_limits() const;

  EGraph egraph_;
  std::vector<IterationRecord> iterations_;
  std::optional<StopReason> stop_reason_;
  std::size_t iter_limit_ = kDefaultIterLimit;
  std::size_t node_limit_ = kDefaultNodeLimit;
  Clock::duration time_limit_ = kDefaultTimeLimit;
  std::optional<Clock::time_point> start_time_;
  std::unique_ptr<RuleScheduler> scheduler_;
};

}  // namespace zembric::egraph
