#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "egraph/backoff_rule_scheduler.h"
#include "egraph/pattern_reader.h"
#include "egraph/saturation_runner.h"

namespace zembric::egraph {
namespace {

using Kind = StopReason::Kind;

Symbol sym(const std::string& text) {
  return intern_symbol(text);
}

Rewrite rewrite(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto pattern = [](const std::string& text) { return Pattern(parse_pattern(text).value()); };
  return make_rewrite(name, pattern(lhs), pattern(rhs)).value();
}

ClassId leaf(EGraph& egraph, const std::string& op) {
  return egraph.add(ENode(sym(op), {}));
}

// Runs `rules` over `egraph` with a backoff scheduler the test can inspect afterwards.
struct RunResult {
  RunResult(EGraph egraph, std::vector<Rewrite> run_rules, std::size_t iter_limit = 30,
            std::size_t node_limit = 1'000'000)
      : rules(std::move(run_rules)) {
    auto owned = std::make_unique<BackoffRuleScheduler>();
    scheduler = owned.get();
    runner.with_egraph(std::move(egraph))
        .with_iter_limit(iter_limit)
        .with_node_limit(node_limit)
        .with_scheduler(std::move(owned));
    runner.run(rules);
  }
  StopReason stop() const { return *runner.stop_reason(); }
  std::size_t applied(std::size_t iteration, const std::string& rule) const {
    for (const auto& [name, count] : runner.iterations().at(iteration).applied) {
      if (name == sym(rule)) return count;
    }
    return 0;
  }

  std::vector<Rewrite> rules;
  SaturationRunner runner;
  BackoffRuleScheduler* scheduler = nullptr;
};

TEST(SaturationRunner, RulesThatChangeNothingSaturateAfterOneIteration) {
  EGraph egraph;
  const ClassId a = leaf(egraph, "a");
  const ClassId b = leaf(egraph, "b");
  egraph.add(ENode(sym("op|add"), {a, b}));
  egraph.add(ENode(sym("op|add"), {b, a}));
  RunResult run(std::move(egraph), {rewrite("no-match", "(op|mul ?x ?y)", "(op|mul ?y ?x)"),
                                    rewrite("self", "(op|add ?x ?y)", "(op|add ?x ?y)")});
  EXPECT_EQ(run.stop(), StopReason::saturated());
  ASSERT_EQ(run.runner.iterations().size(), 1u);
  EXPECT_TRUE(run.runner.iterations()[0].applied.empty());
  EXPECT_TRUE(run.runner.egraph().is_clean());
}

TEST(SaturationRunner, CommutingTwoOrientationsMergesThemAndThenSaturates) {
  EGraph egraph;
  const ClassId a = leaf(egraph, "a");
  const ClassId b = leaf(egraph, "b");
  const ClassId ab = egraph.add(ENode(sym("op|add"), {a, b}));
  const ClassId ba = egraph.add(ENode(sym("op|add"), {b, a}));
  RunResult run(std::move(egraph), {rewrite("commute", "(op|add ?x ?y)", "(op|add ?y ?x)")});
  EXPECT_EQ(run.stop(), StopReason::saturated());
  ASSERT_EQ(run.runner.iterations().size(), 2u);
  EXPECT_EQ(run.applied(0, "commute"), 1u) << "the second union finds the classes already equal";
  EXPECT_EQ(run.runner.egraph().find(ab), run.runner.egraph().find(ba));
}

TEST(SaturationRunner, ZeroIterationLimitStopsBeforeSearchingButStillRebuilds) {
  EGraph egraph;
  const ClassId a = leaf(egraph, "a");
  const ClassId b = leaf(egraph, "b");
  const ClassId fa = egraph.add(ENode(sym("f"), {a}));
  const ClassId fb = egraph.add(ENode(sym("f"), {b}));
  egraph.rebuild();
  egraph.union_classes(a, b);
  const Rewrite rule = rewrite("grow", "(f ?x)", "(g ?x)");
  RunResult run(std::move(egraph), {rule}, /*iter_limit=*/0);
  EXPECT_EQ(run.stop(), StopReason::iteration_limit(0));
  ASSERT_EQ(run.runner.iterations().size(), 1u);
  EXPECT_EQ(run.runner.iterations()[0].stop_reason, StopReason::iteration_limit(0));
  EXPECT_EQ(run.scheduler->stats(rule.name), nullptr) << "no rule was searched";
  EXPECT_EQ(run.runner.egraph().find(fa), run.runner.egraph().find(fb));
  EXPECT_TRUE(run.runner.egraph().is_clean());
}

TEST(SaturationRunner, RuleThatKeepsGrowingRunsIntoTheIterationLimit) {
  EGraph egraph;
  egraph.add(ENode(sym("f"), {leaf(egraph, "a")}));
  // Each iteration nests one level deeper: only the newest match adds anything.
  RunResult run(std::move(egraph), {rewrite("deepen", "(f ?x)", "(f (s ?x))")}, /*iter_limit=*/12);
  EXPECT_EQ(run.stop(), StopReason::iteration_limit(12));
  EXPECT_EQ(run.runner.iterations().size(), 12u);
  for (std::size_t i = 0; i < 12; ++i)
    EXPECT_EQ(run.applied(i, "deepen"), 1u) << i;
  EXPECT_EQ(run.runner.egraph().total_size(), 2u + 2u * 12u);
}

TEST(SaturationRunner, NodeLimitInTheApplyPhaseSkipsLaterRulesButKeepsTheRebuild) {
  EGraph egraph;
  const ClassId x = leaf(egraph, "x");
  const ClassId y = leaf(egraph, "y");
  const ClassId fx = egraph.add(ENode(sym("f"), {x}));
  const ClassId fy = egraph.add(ENode(sym("f"), {y}));
  egraph.add(ENode(sym("h"), {x}));
  ASSERT_EQ(egraph.total_size(), 5u);
  // merge adds nothing, grow adds one node (6 > 5), late would add more.
  RunResult run(std::move(egraph),
                {rewrite("merge", "x", "y"), rewrite("grow", "(h ?a)", "(k ?a)"),
                 rewrite("late", "(f ?a)", "(m ?a)")},
                /*iter_limit=*/30, /*node_limit=*/5);
  EXPECT_EQ(run.stop(), StopReason::node_limit(6));
  ASSERT_EQ(run.runner.iterations().size(), 1u);
  EXPECT_EQ(run.applied(0, "merge"), 1u);
  EXPECT_EQ(run.applied(0, "grow"), 1u);
  EXPECT_EQ(run.applied(0, "late"), 0u);
  const EGraph& result = run.runner.egraph();
  EXPECT_TRUE(result.is_clean());
  EXPECT_EQ(result.find(fx), result.find(fy)) << "the rebuild merged the congruent f nodes";
  EXPECT_EQ(result.lookup(ENode(sym("m"), {x})), std::nullopt);
  EXPECT_EQ(run.runner.iterations()[0].rebuild_unions, 1u);
}

TEST(SaturationRunner, NodeLimitIsStrict) {
  EGraph egraph;
  egraph.add(ENode(sym("h"), {leaf(egraph, "x")}));
  RunResult run(std::move(egraph), {rewrite("grow", "(h ?a)", "(k ?a)")}, 30, /*node_limit=*/3);
  EXPECT_EQ(run.stop(), StopReason::saturated()) << "a size equal to the limit is allowed";
}

// Every p(leaf) matches and the rule adds q(leaf), so an accepted search shows in the applied
// counts. "seed" changes the e-graph in iteration 0 only, so can_stop is first asked in
// iteration 1.
struct BackoffCase {
  int leaves;
  std::size_t accepted_in;  // the first iteration whose search of p-to-q is accepted
  std::size_t times_banned;
};

class Backoff : public testing::TestWithParam<BackoffCase> {};

TEST_P(Backoff, BannedRuleIsFastForwardedAndSearchedWithADoubledAllowance) {
  const BackoffCase c = GetParam();
  EGraph egraph;
  for (int k = 0; k < c.leaves; ++k) {
    egraph.add(ENode(sym("p"), {leaf(egraph, "backoff-leaf" + std::to_string(k))}));
  }
  egraph.add(ENode(sym("seed"), {leaf(egraph, "backoff-leaf0")}));
  const Rewrite rule = rewrite("p-to-q", "(p ?a)", "(q ?a)");
  RunResult run(std::move(egraph), {rule, rewrite("seed", "(seed ?a)", "(sprout ?a)")});
  const auto& iterations = run.runner.iterations();
  ASSERT_EQ(iterations.size(), c.accepted_in + 2) << run.stop().to_string();
  EXPECT_EQ(run.applied(0, "seed"), 1u);
  for (std::size_t i = 0; i < c.accepted_in; ++i) {
    EXPECT_EQ(run.applied(i, "p-to-q"), 0u) << i;
    EXPECT_FALSE(iterations[i].stop_reason.has_value()) << "fast-forward keeps the run going";
  }
  EXPECT_EQ(run.applied(c.accepted_in, "p-to-q"), static_cast<std::size_t>(c.leaves));
  EXPECT_EQ(run.stop(), StopReason::saturated());
  const RuleStats* stats = run.scheduler->stats(rule.name);
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(stats->times_banned, c.times_banned);
  EXPECT_EQ(stats->times_applied, 2u) << "accepted once with changes, once without";
}

// 1000 matches fit the first allowance. 1500: banned in 0 until 5, fast-forwarded by can_stop(1),
// accepted in 2 under allowance 2000. 2500: refused again in 2 (ban 10), fast-forwarded by
// can_stop(2) at once, accepted in 3 under allowance 4000.
INSTANTIATE_TEST_SUITE_P(Cases, Backoff,
                         testing::Values(BackoffCase{1000, 0, 0}, BackoffCase{1500, 2, 1},
                                         BackoffCase{2500, 3, 2}));

TEST(BackoffRuleScheduler, BanArithmeticAndFastForward) {
  EGraph egraph;
  for (int k = 0; k < 5; ++k) {
    egraph.add(ENode(sym("r"), {leaf(egraph, "ban-leaf" + std::to_string(k))}));
  }
  egraph.add(ENode(sym("s"), {leaf(egraph, "ban-leaf0")}));
  egraph.rebuild();
  BackoffRuleScheduler scheduler(/*match_limit=*/2, /*ban_length=*/3);
  const Rewrite many = rewrite("many", "(r ?a)", "?a");
  const Rewrite one = rewrite("one", "(s ?a)", "?a");

  EXPECT_TRUE(scheduler.search_rewrite(0, egraph, many).empty());  // 5 > 2
  EXPECT_EQ(scheduler.stats(many.name)->banned_until, 3u);
  EXPECT_EQ(scheduler.search_rewrite(0, egraph, one).size(), 1u);
  EXPECT_TRUE(scheduler.search_rewrite(2, egraph, many).empty()) << "still banned, not counted";
  EXPECT_EQ(scheduler.stats(many.name)->times_banned, 1u);
  EXPECT_TRUE(scheduler.search_rewrite(3, egraph, many).empty());  // 5 > 4: ban 3 << 1
  EXPECT_EQ(scheduler.stats(many.name)->banned_until, 9u);
  EXPECT_EQ(scheduler.stats(many.name)->times_banned, 2u);

  EXPECT_FALSE(scheduler.can_stop(4));
  EXPECT_EQ(scheduler.stats(many.name)->banned_until, 4u);
  EXPECT_EQ(scheduler.stats(many.name)->times_banned, 2u) << "fast-forward keeps the allowance";
  EXPECT_TRUE(scheduler.can_stop(4));
  std::size_t total = 0;
  for (const SearchMatch& match : scheduler.search_rewrite(4, egraph, many)) {
    total += match.substs.size();
  }
  EXPECT_EQ(total, 5u) << "allowance 8 accepts all five";
  EXPECT_EQ(scheduler.stats(many.name)->times_applied, 1u);
  EXPECT_EQ(scheduler.stats(one.name)->times_applied, 1u);
}

TEST(SaturationRunner, DuplicateRuleNamesWarnOnceAndShareStatistics) {
  EGraph egraph;
  egraph.add(ENode(sym("p"), {leaf(egraph, "dup-leaf")}));
  testing::internal::CaptureStderr();
  RunResult run(std::move(egraph),
                {rewrite("twin", "(p ?a)", "?a"), rewrite("solo", "(p ?a)", "?a"),
                 rewrite("twin", "(p ?a)", "(p ?a)")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'twin' appears 2 times\n");
  EXPECT_EQ(run.scheduler->stats(sym("twin"))->times_applied, 2 * run.runner.iterations().size());

  EGraph quiet;
  leaf(quiet, "dup-leaf");
  testing::internal::CaptureStderr();
  RunResult distinct(std::move(quiet),
                     {rewrite("one", "(p ?a)", "?a"), rewrite("two", "(q ?a)", "?a")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Sleeps in every search so that the time limit is passed after the first rule.
class SlowScheduler : public RuleScheduler {
 public:
  std::vector<SearchMatch> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                          const Rewrite& rewrite) override {
    ++searches;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return RuleScheduler::search_rewrite(iteration, egraph, rewrite);
  }
  int searches = 0;
};

TEST(SaturationRunner, TimeLimitEndsTheSearchPhaseAtTheFirstCheck) {
  EGraph egraph;
  egraph.add(ENode(sym("h"), {leaf(egraph, "slow-leaf")}));
  auto owned = std::make_unique<SlowScheduler>();
  SlowScheduler* scheduler = owned.get();
  const std::vector<Rewrite> rules = {rewrite("a", "(h ?x)", "(k ?x)"),
                                      rewrite("b", "(h ?x)", "(j ?x)")};
  SaturationRunner runner;
  runner.with_egraph(std::move(egraph))
      .with_time_limit(std::chrono::milliseconds(5))
      .with_scheduler(std::move(owned))
      .run(rules);
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, Kind::TimeLimit);
  EXPECT_GT(runner.stop_reason()->seconds, 0.005);
  EXPECT_EQ(scheduler->searches, 1);
  EXPECT_EQ(runner.iterations().size(), 1u);
  EXPECT_TRUE(runner.iterations()[0].applied.empty()) << "the apply phase never ran";
}

}  // namespace
}  // namespace zembric::egraph
