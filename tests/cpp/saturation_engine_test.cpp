#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "egraph/symbol.h"
#include "optimizer/hash_consing.h"
#include "optimizer/rewrite_rules.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/saturation_replay.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

const std::string kAddZeroRight = "op|add|scalar=f0000000000000000;side=sr";
const std::string kMulOneLeft = "op|mul|scalar=f3ff0000000000000;side=sl";

Term src(const std::string& name) {
  return {"src|name=s" + name, {}, true};
}
Term op(const std::string& key, std::vector<TermIndex> children) {
  return {key, std::move(children), false};
}

TermGraph run(const TermGraph& input) {
  return SaturationEngine().run(input, nullptr);
}

TEST(SaturationEngine, BuildsTheTwelveRulesInOrder) {
  const SaturationEngine engine;
  const std::vector<std::string> expected = {"commute-add",     "commute-mul",     "commute-and",
                                             "commute-or",      "commute-eq",      "commute-ne",
                                             "commute-maximum", "commute-minimum", "identity-0",
                                             "identity-1",      "identity-2",      "identity-3"};
  ASSERT_EQ(engine.rules().size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(egraph::symbol_text(engine.rules()[k].name), expected[k]);
  }
  EXPECT_EQ(engine.iter_limit(), 12u);
}

TEST(SaturationEngine, EmptyInputGivesEmptyOutput) {
  EXPECT_EQ(run({}), TermGraph{});
}

TEST(SaturationEngine, CommutedPairKeepsTheEarlierTermWithItsOwnOperandOrder) {
  const TermGraph input{{src("x"), src("y"), op("op|add", {1, 0}), op("op|add", {0, 1})},
                        {3, 2, 3}};
  const TermGraph expected{{src("x"), src("y"), op("op|add", {1, 0})}, {2, 2, 2}};
  EXPECT_EQ(run(input), expected);
}

TEST(SaturationEngine, EveryCommutativeOperatorMergesItsTwoOrders) {
  for (const std::string name : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    const TermGraph input{{src("x"), src("y"), op("op|" + name, {0, 1}), op("op|" + name, {1, 0})},
                          {2, 3}};
    const TermGraph expected{{src("x"), src("y"), op("op|" + name, {0, 1})}, {2, 2}};
    EXPECT_EQ(run(input), expected) << name;
  }
  const TermGraph sub{{src("x"), src("y"), op("op|sub", {0, 1}), op("op|sub", {1, 0})}, {2, 3}};
  EXPECT_EQ(run(sub), sub);
}

TEST(SaturationEngine, IdentityFallsIntoItsOperandsClass) {
  const TermGraph input{{src("x"), op(kAddZeroRight, {0})}, {1}};
  EXPECT_EQ(run(input), (TermGraph{{src("x")}, {0}}));
}

TEST(SaturationEngine, ChainOfIdentitiesCollapsesToTheOperand) {
  const TermGraph input{{src("x"), op(kAddZeroRight, {0}), op(kMulOneLeft, {1}), op("op|neg", {2})},
                        {2, 3}};
  EXPECT_EQ(run(input), (TermGraph{{src("x"), op("op|neg", {0})}, {0, 1}}));
}

TEST(SaturationEngine, CongruentUsersOfMergedTermsMerge) {
  const TermGraph input{{src("x"), src("y"), op("op|add", {0, 1}), op("op|add", {1, 0}),
                         op("op|exp", {2}), op("op|exp", {3}), op("op|mul", {4, 5})},
                        {5, 6}};
  const TermGraph expected{
      {src("x"), src("y"), op("op|add", {0, 1}), op("op|exp", {2}), op("op|mul", {3, 3})}, {3, 4}};
  EXPECT_EQ(run(input), expected);
}

TEST(SaturationEngine, EqualTermsShareAClassFromTheStart) {
  const TermGraph input{{src("x"), op("op|neg", {0}), op("op|neg", {0})}, {2, 1}};
  EXPECT_EQ(run(input), (TermGraph{{src("x"), op("op|neg", {0})}, {1, 1}}));
}

// Near misses of the rules' shapes: none of these may be rewritten.
TEST(SaturationEngine, NearMissesAreLeftAlone) {
  const std::vector<Term> candidates = {
      op("op|add", {0}),
      op("op|add", {0, 1, 0}),
      op("op|add|alpha=i1", {1, 0}),
      op("op|add|scalar=i0;side=sr", {0}),
      op("op|add|scalar=f8000000000000000;side=sr", {0}),
      op("op|add|scalar=f0000000000000000;side=sleft", {0}),
      op("op|add|extra=btrue;scalar=f0000000000000000;side=sr", {0}),
      op(kAddZeroRight, {0, 1}),
      op("op|mul|scalar=f3ff0000000000000;side=sr", {}),
  };
  for (const Term& candidate : candidates) {
    const TermGraph input{{src("x"), src("y"), op("op|add", {0, 1}), candidate}, {3}};
    // The commutative pair at 2 is merged with nothing: its mirror is not in the input.
    EXPECT_EQ(run(input), input) << candidate.key;
  }
}

TEST(SaturationEngine, BoundaryFlagFollowsTheKey) {
  const TermGraph input{{{"src|name=sx", {}, false}, {"op", {0}, false}, {"op|neg", {1}, true}},
                        {2}};
  const TermGraph output = run(input);
  ASSERT_EQ(output.size(), 3u);
  EXPECT_TRUE(output.is_boundary(0));
  EXPECT_TRUE(output.is_boundary(1));
  EXPECT_FALSE(output.is_boundary(2));
}

TEST(SaturationEngine, OutputIndexIsTheNumberOfEarlierRepresentatives) {
  const TermGraph input{{src("a"), op(kAddZeroRight, {0}), src("b"), op(kAddZeroRight, {2}),
                         op("op|max", {1, 3}), src("c")},
                        {5, 4, 1}};
  const TermGraph expected{{src("a"), src("b"), op("op|max", {0, 1}), src("c")}, {3, 2, 0}};
  EXPECT_EQ(run(input), expected);
}

// More matching pairs than the first allowance: commute-add is banned, fast-forwarded and
// accepted within the iteration limit, so every pair still merges.
TEST(SaturationEngine, LargeGraphsStillMergeAllCommutedPairs) {
  constexpr TermIndex kPairs = 3000;
  std::vector<Term> terms;
  std::vector<TermIndex> roots;
  for (TermIndex k = 0; k < kPairs; ++k)
    terms.push_back(src(std::to_string(k)));
  for (TermIndex k = 0; k + 1 < kPairs; ++k) {
    terms.push_back(op("op|add", {k, k + 1}));
    terms.push_back(op("op|add", {k + 1, k}));
    roots.push_back(static_cast<TermIndex>(terms.size() - 1));
  }
  const TermGraph output = run(TermGraph(terms, roots));
  ASSERT_EQ(output.size(), 2 * kPairs - 1);
  for (TermIndex k = 0; k + 1 < kPairs; ++k) {
    EXPECT_EQ(output.roots[k], kPairs + k);
    EXPECT_EQ(output.term(kPairs + k).children, (std::vector<TermIndex>{k, k + 1}));
  }
}

// A random graph rich in what the rules match: commuted duplicates, identities (chained, and
// under users that become congruent), near misses of the rules' arity, and repeated terms. Past a
// few thousand terms the rules' match counts, which the seed spreads over a range, straddle the
// scheduler's allowances, before and after a commutation doubles its own.
TermGraph random_graph(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto below = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng);
  };
  const std::size_t commuting = 10 + below(40);
  // A quarter of the graphs lack identities, and a quarter lack commuted duplicates: their
  // commutations then add mirrors without merging anything.
  const std::size_t identities = below(4) == 0 ? 0 : 2 + below(14);
  const bool duplicates = below(4) != 0;
  const std::vector<std::string> commutative = {"op|add", "op|mul", "op|maximum"};
  const std::vector<std::string> identity = {identity_key(kIdentityRules[0]),
                                             identity_key(kIdentityRules[3])};
  std::vector<Term> terms;
  auto recent = [&]() -> TermIndex {
    return static_cast<TermIndex>(terms.size() - 1 -
                                  below(std::min<std::size_t>(terms.size(), 24)));
  };
  while (terms.size() < size) {
    const std::size_t pick = terms.size() < 4 ? 0 : below(100);
    if (pick < 8) {
      terms.push_back(src(std::to_string(below(size))));
    } else if (pick < 8 + commuting) {
      const TermIndex a = recent();
      const TermIndex b = recent();
      const std::string& key = commutative[below(commutative.size())];
      terms.push_back(op(key, {a, b}));
      if (duplicates && below(3) == 0) terms.push_back(op(key, {b, a}));
    } else if (pick < 8 + commuting + identities) {
      terms.push_back(op(identity[below(identity.size())], {recent()}));
    } else if (pick < 70) {
      terms.push_back(op(commutative[below(commutative.size())], {recent()}));  // arity 1
    } else if (pick < 72) {
      terms.push_back(terms[recent()]);  // a repeat
    } else if (pick < 86) {
      terms.push_back(op("op|neg", {recent()}));
    } else {
      terms.push_back(op("op|sub", {recent(), recent()}));
    }
  }
  terms.resize(size);
  std::vector<TermIndex> roots;
  for (std::size_t k = 0; k < 1 + size / 50; ++k)
    roots.push_back(static_cast<TermIndex>(below(size)));
  return TermGraph(terms, roots);
}

// The replay stands in for the e-graph only where it gives the same output: checked on graphs
// from a few terms to past the scheduler's match limit (bans, fast-forwards) and at iteration
// limits that cut the schedule short.
TEST(SaturationEngine, ReplayGivesTheSaturatedEgraphsOutput) {
  for (const std::size_t size : {30, 400, 6000, 30000}) {
    for (std::uint64_t seed = 1; seed <= (size > 10000 ? 6u : 10u); ++seed) {
      const TermGraph input = random_graph(size, seed * 7919 + size);
      // The same graph without its repeats, vouched for as such: the replay then starts from
      // the terms themselves instead of hash-consing them first.
      std::vector<TermIndex> representative;
      TermGraph distinct = hash_cons(input, input.keys(), representative);
      distinct.mark_distinct();
      for (std::size_t iter_limit = 1; iter_limit <= 12; iter_limit += iter_limit < 7 ? 1 : 5) {
        const SaturationEngine engine(iter_limit);
        for (const TermGraph* graph : {&input, static_cast<const TermGraph*>(&distinct)}) {
          ASSERT_TRUE(replay_saturation(*graph, engine.replayed_rules(), iter_limit,
                                        4 * graph->size() + 1024))
              << "the replay declines " << size << " terms, seed " << seed;
          std::vector<TermIndex> replayed;
          std::vector<TermIndex> saturated;
          const TermGraph fast = engine.run(*graph, &replayed);
          const TermGraph slow = engine.run_saturating(*graph, &saturated);
          ASSERT_EQ(fast, slow) << size << " terms, seed " << seed << ", limit " << iter_limit;
          ASSERT_EQ(replayed, saturated) << size << " terms, seed " << seed;
          // The replayed output vouches that it holds no two equal terms.
          ASSERT_TRUE(fast.distinct());
          std::vector<TermIndex> shared;
          ASSERT_EQ(hash_cons(fast, fast.keys(), shared).size(), fast.size());
        }
      }
    }
  }
}

// The replay vouches for the e-graph only when its bound on the e-graph's size fits the node
// limit: at the tightest limit it accepts, an e-graph under that limit never reaches it and gives
// the same output; just below, where the e-graph itself runs, the outputs agree as well.
TEST(SaturationEngine, ReplayAcceptsOnlyNodeLimitsTheEgraphKeepsTo) {
  for (const std::size_t size : {30, 400, 3000}) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
      const TermGraph graph = random_graph(size, seed * 104729 + size);
      const SaturationEngine standard;
      std::size_t low = 0;
      std::size_t high = 4 * size + 1024;
      ASSERT_TRUE(replay_saturation(graph, standard.replayed_rules(), standard.iter_limit(), high));
      while (low + 1 < high) {
        const std::size_t mid = low + (high - low) / 2;
        const bool accepted =
            replay_saturation(graph, standard.replayed_rules(), standard.iter_limit(), mid)
                .has_value();
        (accepted ? high : low) = mid;
      }
      for (const std::size_t limit : {low, high}) {
        const SaturationEngine engine(standard.iter_limit(), limit);
        std::vector<TermIndex> replayed;
        std::vector<TermIndex> saturated;
        egraph::StopReason stop = egraph::StopReason::saturated();
        ASSERT_EQ(engine.run(graph, &replayed), engine.run_saturating(graph, &saturated, &stop))
            << size << " terms, seed " << seed << ", node limit " << limit;
        ASSERT_EQ(replayed, saturated) << size << " terms, seed " << seed;
        if (limit == high) {
          EXPECT_NE(stop.kind, egraph::StopReason::Kind::NodeLimit)
              << size << " terms, seed " << seed << ": " << stop.to_string();
        }
      }
    }
  }
}

TEST(SaturationEngine, MalformedGraphsAreInternalErrors) {
  EXPECT_THROW(run({{src("x"), op("op|neg", {1})}, {}}), InternalError);
  EXPECT_THROW(run({{src("x")}, {1}}), InternalError);
}

}  // namespace
}  // namespace zembric

namespace zembric {
namespace {

// The identity keys are built by the key encoder; these are the texts hosts see as member keys.
TEST(RewriteRules, IdentityKeysSpellAddOfZeroAndMulOfOneOnEitherSide) {
  const char* expected[] = {
      "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
      "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  for (std::size_t k = 0; k < kIdentityRules.size(); ++k)
    EXPECT_EQ(identity_key(kIdentityRules[k]), expected[k]);
}

}  // namespace
}  // namespace zembric
