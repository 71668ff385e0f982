#include "egraph/saturation_runner.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "egraph/backoff_rule_scheduler.h"
#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

double seconds_since(SaturationRunner::Clock::time_point start) {
  return std::chrono::duration<double>(SaturationRunner::Clock::now() - start).count();
}

// Rules sharing a name share scheduler statistics and applied counts, so say so once per run.
void warn_duplicate_names(std::span<const Rewrite> rules) {
  std::vector<std::pair<Symbol, std::size_t>> counts;
  for (const Rewrite& rule : rules) {
    auto it = std::ranges::find(counts, rule.name, &std::pair<Symbol, std::size_t>::first);
    if (it == counts.end()) {
      counts.emplace_back(rule.name, 1);
    } else {
      ++it->second;
    }
  }
  if (std::ranges::none_of(counts, [](const auto& entry) { return entry.second > 1; })) return;
  std::string text = "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, count] : counts) {
    if (count > 1) {
      text += "Rule '" + std::string(symbol_text(name)) + "' appears " + std::to_string(count) +
              " times\n";
    }
  }
  std::cerr << text << std::flush;
}

}  // namespace

SaturationRunner::SaturationRunner() : scheduler_(std::make_unique<BackoffRuleScheduler>()) {}

SaturationRunner& SaturationRunner::with_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}

SaturationRunner& SaturationRunner::with_iter_limit(std::size_t iter_limit) {
  iter_limit_ = iter_limit;
  return *this;
}

SaturationRunner& SaturationRunner::with_node_limit(std::size_t node_limit) {
  node_limit_ = node_limit;
  return *this;
}

SaturationRunner& SaturationRunner::with_time_limit(Clock::duration time_limit) {
  time_limit_ = time_limit;
  return *this;
}

SaturationRunner& SaturationRunner::with_scheduler(std::unique_ptr<RuleScheduler> scheduler) {
  if (scheduler == nullptr) throw InternalError("saturation runner needs a scheduler");
  scheduler_ = std::move(scheduler);
  return *this;
}

SaturationRunner& SaturationRunner::run(std::span<const Rewrite> rules) {
  warn_duplicate_names(rules);
  egraph_.rebuild();
  for (;;) {
    iterations_.push_back(run_iteration(rules));
    std::optional<StopReason> stop = iterations_.back().stop_reason;
    if (!stop) stop = check_limits();
    if (stop) {
      stop_reason_ = std::move(stop);
      return *this;
    }
  }
}

std::optional<StopReason> SaturationRunner::check_limits() const {
  const Clock::duration elapsed = Clock::now() - *start_time_;
  if (elapsed > time_limit_) {
    return StopReason::time_limit(std::chrono::duration<double>(elapsed).count());
  }
  if (egraph_.total_size() > node_limit_) return StopReason::node_limit(egraph_.total_size());
  if (iterations_.size() >= iter_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

IterationRecord SaturationRunner::run_iteration(std::span<const Rewrite> rules) {
  const std::size_t iteration = iterations_.size();
  if (!start_time_) start_time_ = Clock::now();
  std::optional<StopReason> result = check_limits();

  IterationRecord record;
  record.total_size = egraph_.total_size();
  record.class_count = egraph_.class_count();

  std::vector<std::vector<SearchMatch>> matches;
  if (!result) {
    const Clock::time_point search_start = Clock::now();
    matches.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_->search_rewrite(iteration, egraph_, rule));
      result = check_limits();
      if (result) break;
    }
    record.search_seconds = seconds_since(search_start);
  }

  if (!result) {
    const Clock::time_point apply_start = Clock::now();
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const std::size_t applied =
          scheduler_->apply_rewrite(iteration, egraph_, rules[k], matches[k]);
      if (applied > 0) {
        auto it = std::ranges::find(record.applied, rules[k].name,
                                    &std::pair<Symbol, std::size_t>::first);
        if (it == record.applied.end()) {
          record.applied.emplace_back(rules[k].name, applied);
        } else {
          it->second += applied;
        }
      }
      result = check_limits();
      if (result) break;
    }
    record.apply_seconds = seconds_since(apply_start);
  }
  matches.clear();

  const Clock::time_point rebuild_start = Clock::now();
  record.rebuild_unions = egraph_.rebuild();
  record.rebuild_seconds = seconds_since(rebuild_start);

  if (record.applied.empty()) {
    // can_stop is asked even when a limit already ended the iteration: its fast-forward counts.
    const bool can_stop = scheduler_->can_stop(iteration);
    const bool unchanged =
        egraph_.total_size() == record.total_size && egraph_.class_count() == record.class_count;
    if (can_stop && unchanged && !result) result = StopReason::saturated();
  }
  record.stop_reason = std::move(result);
  return record;
}

}  // namespace zembric::egraph
