#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/enode.h"
#include "egraph/small_vector.h"
#include "egraph/symbol.h"
#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

Symbol sym(const char* text) {
  return intern_symbol(text);
}

Symbol numbered(const char* prefix, int k) {
  std::string text = prefix;
  text += std::to_string(k);
  return intern_symbol(text);
}

std::vector<ENode> nodes_of(const EGraph& egraph, ClassId id) {
  const auto& nodes = egraph.get_class(id).nodes;
  return {nodes.begin(), nodes.end()};
}

TEST(ENode, OrdersByOperatorThenChildrenWithPrefixFirst) {
  const Symbol f = sym("f");
  const Symbol g = sym("g");
  const auto [low, high] = std::minmax(f, g);
  struct Case {
    ENode smaller, larger;
  };
  const std::vector<Case> cases = {
      {ENode(low, {9, 9}), ENode(high, {0})},
      {ENode(f, {1, 2}), ENode(f, {1, 3})},
      {ENode(f, {1}), ENode(f, {1, 0})},
      {ENode(f, {}), ENode(f, {0})},
      {ENode(f, {1, 2, 3, 4, 5}), ENode(f, {1, 2, 3, 4, 5, 0})},  // heap-stored children
      {ENode(f, {1, 2, 3, 4, 5, 6}), ENode(f, {1, 2, 3, 4, 6})},
  };
  for (const Case& c : cases) {
    EXPECT_LT(c.smaller, c.larger);
    EXPECT_GT(c.larger, c.smaller);
    EXPECT_NE(c.smaller, c.larger);
  }
  ENode wide(f, {1, 2, 3, 4, 5, 6});
  ENode copy = wide;
  EXPECT_EQ(copy, wide);
  EXPECT_EQ(copy.hash(), wide.hash());
  ENode moved = std::move(copy);
  EXPECT_EQ(moved, wide);
  moved.children()[5] = 7;
  EXPECT_NE(moved, wide) << "a copy must not share heap children";
  EXPECT_TRUE(ENode(f, {1, 2}).matches(ENode(f, {3, 4})));
  EXPECT_FALSE(ENode(f, {1, 2}).matches(ENode(f, {1, 2, 3})));
}

TEST(EGraph, HashConsesAndReturnsTheStoredIdUnresolved) {
  EGraph egraph;
  EXPECT_FALSE(egraph.is_clean());
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId b = egraph.add_node(ENode(sym("b"), {}));
  const ClassId fa = egraph.add_node(ENode(sym("f"), {a}));
  EXPECT_EQ(egraph.add_node(ENode(sym("a"), {})), a) << "a leaf is hash-consed by its op alone";
  EXPECT_EQ(egraph.add_node(ENode(sym("f"), {a})), fa);
  EXPECT_EQ(egraph.class_count(), 3u);
  EXPECT_EQ(egraph.total_size(), 3u);

  // b has no parents and a has one, so a's root wins and b's id is no longer a root.
  ASSERT_TRUE(egraph.union_classes(b, a));
  EXPECT_EQ(egraph.find(b), a);
  EXPECT_EQ(egraph.add_node(ENode(sym("b"), {})), b) << "stored id, not its root";
  EXPECT_EQ(egraph.add(ENode(sym("b"), {})), a);
  EXPECT_EQ(egraph.class_count(), 2u);
}

TEST(EGraph, UnionWithSameClassReportsNoChangeButDirties) {
  EGraph egraph;
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId b = egraph.add_node(ENode(sym("b"), {}));
  egraph.union_classes(a, b);
  egraph.rebuild();
  ASSERT_TRUE(egraph.is_clean());
  EXPECT_FALSE(egraph.union_classes(a, a));
  EXPECT_FALSE(egraph.is_clean());
  egraph.rebuild();
  EXPECT_FALSE(egraph.union_classes(b, a));
  EXPECT_FALSE(egraph.is_clean());
}

struct WinnerCase {
  int parents_of_first;
  int parents_of_second;
  bool first_wins;
};

class UnionWinner : public testing::TestWithParam<WinnerCase> {};

TEST_P(UnionWinner, ClassWithMoreParentsWinsAndFirstArgumentWinsTies) {
  const WinnerCase c = GetParam();
  EGraph egraph;
  const ClassId first = egraph.add_node(ENode(sym("first"), {}));
  const ClassId second = egraph.add_node(ENode(sym("second"), {}));
  for (int k = 0; k < c.parents_of_first; ++k) {
    egraph.add_node(ENode(numbered("p", k), {first}));
  }
  for (int k = 0; k < c.parents_of_second; ++k) {
    egraph.add_node(ENode(numbered("q", k), {second}));
  }
  ASSERT_TRUE(egraph.union_classes(first, second));
  const ClassId winner = c.first_wins ? first : second;
  EXPECT_EQ(egraph.find(first), winner);
  EXPECT_EQ(egraph.find(second), winner);
  const EClass& merged = egraph.get_class(first);
  EXPECT_EQ(merged.id, winner);
  EXPECT_EQ(merged.parent_uses,
            static_cast<std::uint64_t>(c.parents_of_first + c.parents_of_second));
}

INSTANTIATE_TEST_SUITE_P(Cases, UnionWinner,
                         testing::Values(WinnerCase{1, 3, false}, WinnerCase{3, 1, true},
                                         WinnerCase{2, 2, true}, WinnerCase{0, 0, true},
                                         WinnerCase{0, 1, false}));

TEST(EGraph, UnionPutsTheLongerNodeSequenceFirst) {
  EGraph egraph;
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId b = egraph.add_node(ENode(sym("b"), {}));
  const ClassId c = egraph.add_node(ENode(sym("c"), {}));
  egraph.union_classes(a, b);  // a wins the tie: nodes [a, b]
  // c wins the tie against the merged class, but the merged class has more nodes, so its nodes
  // come first and c's follow.
  ASSERT_TRUE(egraph.union_classes(c, a));
  EXPECT_EQ(egraph.find(a), c);
  const std::vector<ENode> expected = {ENode(sym("a"), {}), ENode(sym("b"), {}),
                                       ENode(sym("c"), {})};
  EXPECT_EQ(nodes_of(egraph, c), expected);
}

TEST(EGraph, RebuildRestoresCongruenceAndTrimsDuplicates) {
  EGraph egraph;
  const Symbol f = sym("f");
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId b = egraph.add_node(ENode(sym("b"), {}));
  const ClassId fa = egraph.add_node(ENode(f, {a}));
  const ClassId fb = egraph.add_node(ENode(f, {b}));
  egraph.rebuild();
  ASSERT_NE(egraph.find(fa), egraph.find(fb));

  egraph.union_classes(a, b);
  EXPECT_EQ(egraph.rebuild(), 1u) << "one congruence union";
  EXPECT_TRUE(egraph.is_clean());
  EXPECT_EQ(egraph.find(fa), egraph.find(fb));
  const EClass& merged = egraph.get_class(fa);
  ASSERT_EQ(merged.nodes.size(), 1u);
  EXPECT_EQ(merged.nodes[0], ENode(f, {egraph.find(a)}));
  EXPECT_EQ(egraph.class_count(), 2u);
  EXPECT_EQ(egraph.rebuild(), 0u) << "unions made before the call are not counted again";
}

TEST(EGraph, SurelyHoldsOnlyWhatAnAddWouldFindInThatClass) {
  EGraph egraph;
  const Symbol add = sym("add");
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId b = egraph.add_node(ENode(sym("b"), {}));
  const ClassId ab = egraph.add_node(ENode(add, {a, b}));
  egraph.add_node(ENode(add, {b, a}));
  egraph.rebuild();
  EXPECT_TRUE(egraph.surely_holds(ab, ENode(add, {a, b})));
  EXPECT_FALSE(egraph.surely_holds(ab, ENode(add, {b, a}))) << "held by another class";
  EXPECT_FALSE(egraph.surely_holds(a, ENode(add, {a, b})));

  // Adding nodes keeps the answers; after a merge, class contents lag behind until the next
  // rebuild, so nothing is sure any more.
  egraph.add_node(ENode(sym("c"), {}));
  EXPECT_TRUE(egraph.surely_holds(ab, ENode(add, {a, b})));
  egraph.union_classes(a, b);
  EXPECT_FALSE(egraph.surely_holds(ab, ENode(add, {a, b})));
  egraph.rebuild();
  const ClassId root = egraph.find(a);
  EXPECT_TRUE(egraph.surely_holds(ab, ENode(add, {root, root})));
}

TEST(EGraph, RebuildPropagatesCongruenceUpward) {
  EGraph egraph;
  const Symbol f = sym("f");
  const Symbol g = sym("g");
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId b = egraph.add_node(ENode(sym("b"), {}));
  const ClassId gfa = egraph.add_node(ENode(g, {egraph.add_node(ENode(f, {a}))}));
  const ClassId gfb = egraph.add_node(ENode(g, {egraph.add_node(ENode(f, {b}))}));
  egraph.rebuild();
  egraph.union_classes(a, b);
  EXPECT_EQ(egraph.rebuild(), 2u);
  EXPECT_EQ(egraph.find(gfa), egraph.find(gfb));
  EXPECT_EQ(egraph.class_count(), 3u);
}

TEST(EGraph, StaleMemoEntriesStayAndCountInTotalSize) {
  EGraph egraph;
  const ClassId x = egraph.add_node(ENode(sym("x"), {}));
  const ClassId y = egraph.add_node(ENode(sym("y"), {}));
  const ClassId z = egraph.add_node(ENode(sym("z"), {}));
  const ClassId fxy = egraph.add_node(ENode(sym("f"), {x, y}));
  egraph.rebuild();
  ASSERT_EQ(egraph.total_size(), 4u);

  // z (no parents) against x (one parent): x wins unless z is first on a tie, so make z lose by
  // giving it fewer parents and x's parent moves nowhere; merge the other way to move a parent.
  egraph.union_classes(x, z);
  egraph.rebuild();
  EXPECT_EQ(egraph.total_size(), 4u) << "the loser had no parents, so no key was re-canonicalised";

  const ClassId w = egraph.add_node(ENode(sym("w"), {}));
  const ClassId gw = egraph.add_node(ENode(sym("g"), {w}));
  const ClassId hw = egraph.add_node(ENode(sym("h"), {w}));
  egraph.rebuild();
  ASSERT_EQ(egraph.total_size(), 7u);
  egraph.union_classes(w, x);  // w has two parents, x one: x loses and f(x, y) goes stale
  egraph.rebuild();
  EXPECT_EQ(egraph.total_size(), 8u) << "the re-canonicalised key joins the stale one";
  EXPECT_EQ(egraph.lookup(ENode(sym("f"), {x, y})), egraph.find(fxy));
  EXPECT_EQ(egraph.lookup(ENode(sym("f"), {z, y})), egraph.find(fxy));
  EXPECT_EQ(egraph.lookup(ENode(sym("f"), {w, y})), egraph.find(fxy));
  EXPECT_EQ(egraph.lookup(ENode(sym("g"), {z})), egraph.find(gw));
  EXPECT_EQ(egraph.lookup(ENode(sym("h"), {x})), egraph.find(hw));
  EXPECT_EQ(egraph.lookup(ENode(sym("f"), {y, x})), std::nullopt);
}

TEST(EGraph, RebuildWithNothingPendingStillSortsAndIndexes) {
  EGraph egraph;
  const Symbol s1 = sym("sort-one");
  const Symbol s2 = sym("sort-two");
  const auto [low, high] = std::minmax(s1, s2);
  const ClassId hi = egraph.add_node(ENode(high, {}));
  const ClassId lo = egraph.add_node(ENode(low, {}));
  egraph.rebuild();
  egraph.union_classes(hi, lo);  // leaves: no parents, so nothing becomes pending
  EXPECT_EQ(egraph.get_class(hi).nodes.front().op(), high);
  EXPECT_EQ(egraph.rebuild(), 0u);
  const std::vector<ENode> sorted = {ENode(low, {}), ENode(high, {})};
  EXPECT_EQ(nodes_of(egraph, hi), sorted);
  const std::vector<ClassId> expected = {hi};
  EXPECT_EQ(
      std::vector<ClassId>(egraph.classes_with_op(low).begin(), egraph.classes_with_op(low).end()),
      expected);
  EXPECT_TRUE(egraph.classes_with_op(sym("never-added")).empty());
}

TEST(EGraph, OperatorIndexListsEachClassOncePerOperatorInIdOrder) {
  EGraph egraph;
  const Symbol f = sym("f");
  const ClassId a = egraph.add_node(ENode(sym("a"), {}));
  const ClassId f1 = egraph.add_node(ENode(f, {a}));
  const ClassId f2 = egraph.add_node(ENode(f, {a, a}));
  const ClassId g = egraph.add_node(ENode(sym("g"), {a}));
  egraph.union_classes(f1, f2);
  egraph.rebuild();
  const std::vector<ClassId> with_f(egraph.classes_with_op(f).begin(),
                                    egraph.classes_with_op(f).end());
  EXPECT_EQ(with_f, std::vector<ClassId>{egraph.find(f1)});
  const std::vector<ClassId> all(egraph.classes_with_nodes().begin(),
                                 egraph.classes_with_nodes().end());
  EXPECT_EQ(all, (std::vector<ClassId>{a, egraph.find(f1), g}));
}

TEST(ENode, CopiesAndMovesKeepChildrenAtEveryArity) {
  const Symbol f = sym("f");
  const std::vector<ClassId> ids = {7, 3, 9, 1, 4, 8};
  for (std::size_t arity = 0; arity <= ids.size(); ++arity) {
    const ENode original(f, std::span<const ClassId>(ids.data(), arity));
    ASSERT_EQ(original.arity(), arity);
    EXPECT_TRUE(std::ranges::equal(original.children(), std::span(ids.data(), arity)));
    ENode copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.hash(), original.hash());
    ENode moved(std::move(copy));
    EXPECT_EQ(moved, original);
    ENode assigned(sym("g"), {5});
    assigned = std::move(moved);
    EXPECT_EQ(assigned, original) << arity;
    assigned = original;
    EXPECT_EQ(assigned, original) << arity;
  }
}

// Loading without merges, growing afterwards, an idle rebuild and a late merge must each leave
// the index and the hash-cons table as a full re-canonicalisation would.
TEST(EGraph, RebuildsWithoutMergesIndexAndKeepCongruenceForLaterMerges) {
  EGraph egraph;
  egraph.reserve(4);
  const Symbol f = sym("f");
  const ClassId x = egraph.add_node(ENode(sym("x"), {}));
  const ClassId y = egraph.add_node(ENode(sym("y"), {}));
  const ClassId fx = egraph.add_node(ENode(f, {x}));
  EXPECT_EQ(egraph.rebuild(), 0u);
  EXPECT_EQ(
      std::vector<ClassId>(egraph.classes_with_op(f).begin(), egraph.classes_with_op(f).end()),
      std::vector<ClassId>{fx});

  const ClassId fy = egraph.add_node(ENode(f, {y}));  // past the reserved count
  const ClassId gfy = egraph.add_node(ENode(sym("g"), {fy}));
  const ClassId gfx = egraph.add_node(ENode(sym("g"), {fx}));
  EXPECT_EQ(egraph.rebuild(), 0u);
  EXPECT_EQ(egraph.rebuild(), 0u);  // nothing changed: the index must stay as it is
  EXPECT_EQ(
      std::vector<ClassId>(egraph.classes_with_op(f).begin(), egraph.classes_with_op(f).end()),
      (std::vector<ClassId>{fx, fy}));
  EXPECT_EQ(egraph.class_count(), 6u);
  EXPECT_EQ(egraph.total_size(), 6u);

  egraph.union_classes(x, y);
  EXPECT_EQ(egraph.rebuild(), 2u);  // f(x) = f(y), then g(f(x)) = g(f(y))
  EXPECT_EQ(egraph.find(fx), egraph.find(fy));
  EXPECT_EQ(egraph.find(gfx), egraph.find(gfy));
  EXPECT_EQ(egraph.class_count(), 3u);
  EXPECT_EQ(
      std::vector<ClassId>(egraph.classes_with_op(f).begin(), egraph.classes_with_op(f).end()),
      std::vector<ClassId>{egraph.find(fx)});
  EXPECT_EQ(egraph.classes_with_nodes().size(), 3u);
}

// Enough nodes that the hash-cons table and the class array outgrow the heap and move into
// dedicated mappings, rehashing and reallocating on the way.
TEST(EGraph, LargeGraphKeepsHashConsingAndCongruenceAcrossMappedStorage) {
  constexpr ClassId kCount = 200'000;
  EGraph egraph;
  const Symbol leaf = sym("leaf");
  const Symbol f = sym("f");
  std::vector<ClassId> leaves;
  std::vector<ClassId> fs;
  for (ClassId k = 0; k < kCount; ++k) {
    const ENode node(leaf, {});
    egraph.prefetch(node);  // a hint only, also before anything is stored
    leaves.push_back(egraph.add_node(ENode(numbered("leaf", static_cast<int>(k)), {})));
  }
  for (ClassId k = 0; k < kCount; ++k) {
    const ENode node(f, {leaves[k]});
    egraph.prefetch(node);
    fs.push_back(egraph.add_node(node));
  }
  EXPECT_EQ(egraph.total_size(), 2 * std::size_t{kCount});
  for (ClassId k = 0; k < kCount; k += 997) {
    EXPECT_EQ(egraph.add_node(ENode(f, {leaves[k]})), fs[k]);
    EXPECT_EQ(egraph.lookup(ENode(f, {leaves[k]})), std::optional<ClassId>(fs[k]));
  }
  EXPECT_EQ(egraph.rebuild(), 0u);
  std::size_t merged = 0;
  for (ClassId k = 1; k < kCount; k += 1999, ++merged)
    egraph.union_classes(leaves[0], leaves[k]);
  EXPECT_EQ(egraph.rebuild(), merged);  // each merged f(leaf k) joins f(leaf 0)
  EXPECT_EQ(egraph.class_count(), 2 * std::size_t{kCount} - 2 * merged);
  EXPECT_EQ(egraph.find(fs[1 + 1999 * (merged - 1)]), egraph.find(fs[0]));
  EXPECT_NE(egraph.find(fs[2]), egraph.find(fs[0]));
  EXPECT_EQ(egraph.get_class(fs[0]).nodes.size(), 1u);
  EXPECT_EQ(egraph.get_class(leaves[0]).nodes.size(), merged + 1);
}

// A class that absorbs many small classes one merge at a time must not copy its whole list on
// every merge: appends reallocate a logarithmic number of times, keeping the order.
TEST(SmallVector, RepeatedAppendsGrowGeometrically) {
  SmallVector<ClassId, 1> big;
  std::size_t reallocations = 0;
  for (ClassId k = 0; k < 100'000; ++k) {
    SmallVector<ClassId, 1> one;
    one.push_back(k);
    const ClassId* before = big.data();
    big.append_from(one);
    reallocations += big.data() != before;
    EXPECT_TRUE(one.empty());
  }
  ASSERT_EQ(big.size(), 100'000u);
  EXPECT_LE(reallocations, 20u);
  for (ClassId k = 0; k < 100'000; ++k)
    ASSERT_EQ(big[k], k);
}

TEST(EGraph, ForeignIdsAreInternalErrors) {
  EGraph egraph;
  egraph.add_node(ENode(sym("a"), {}));
  EXPECT_THROW(egraph.find(1), InternalError);
  EXPECT_THROW(egraph.get_class(7), InternalError);
  EXPECT_THROW(egraph.union_classes(0, 3), InternalError);
}

}  // namespace
}  // namespace zembric::egraph
