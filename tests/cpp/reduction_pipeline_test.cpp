#include "optimizer/reduction_pipeline.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "node_factories.h"
#include "node_text.h"
#include "optimizer/key_table.h"
#include "optimizer/saturation_engine.h"
#include "store/canonical_key.h"
#include "store/optimizer_key.h"
#include "store/reduced_store.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

void place_each_on_itself(const TermGraph& input, std::vector<TermIndex>* placement) {
  if (placement == nullptr) return;
  placement->resize(input.size());
  std::iota(placement->begin(), placement->end(), TermIndex{0});
}

// Merges nothing, so the pipeline's own steps (reachability, hash-consing, fusion) show alone.
class PassThroughEngine final : public RewriteEngine {
 public:
  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override {
    place_each_on_itself(input, placement);
    return input;
  }
};

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}
Node src(const char* name) {
  return source_node(name, {});
}
Node op(const char* name, std::vector<NodeId> inputs) {
  return Node::op(name, {}, std::move(inputs));
}
Node sum(std::vector<NodeId> inputs) {
  return reduction_node("sum", {}, std::move(inputs));
}

NodeId add(StoreCore& store, Node node) {
  return store.intern(std::move(node)).value();
}

ReducedStore reduce_outputs(StoreCore& store, std::vector<NodeId> outputs,
                            const RewriteEngine& engine, bool maximal = false) {
  auto reduced = reduce_with_outputs(store, outputs, engine, maximal);
  if (!reduced) throw std::runtime_error("no node with id " + std::to_string(reduced.error().id));
  return std::move(reduced).value();
}

ReductionReport report(std::uint64_t input, std::uint64_t reachable, std::uint64_t canonical,
                       std::uint64_t stages, std::uint64_t reduced, std::uint64_t boundary) {
  return ReductionReport{input, reachable, canonical, stages, reduced, boundary};
}

const PassThroughEngine kPassThrough;

// Answers with the same terms under a key table of its own, numbered differently from the input's.
class OwnKeyTableEngine final : public RewriteEngine {
 public:
  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override {
    place_each_on_itself(input, placement);
    TermGraph output;
    output.key_table().intern("a key the input does not have");
    for (const Term& term : input.terms())
      output.add(term.key, term.children, term.is_boundary);
    output.roots = input.roots;
    return output;
  }
};

TEST(ReductionPipeline, OverviewExampleUnderBothEngines) {
  const SaturationEngine saturation;
  for (const RewriteEngine* engine : {static_cast<const RewriteEngine*>(&kPassThrough),
                                      static_cast<const RewriteEngine*>(&saturation)}) {
    StoreCore store;
    add(store, src("x"));
    add(store, op("neg", {0}));
    add(store, op("exp", {1}));
    add(store, sum({2}));
    add(store, src("y"));
    const ReducedStore reduced = reduce_outputs(store, {3}, *engine);
    const StoreSnapshot result = reduced.store->snapshot();
    EXPECT_EQ(nodes_text(result.nodes),
              (std::vector<std::string>{"src|x", "stage[0] op|neg(i0) op|exp(m0)", "red|sum[1]"}));
    EXPECT_EQ(result.marks, std::vector<NodeId>{2});
    EXPECT_EQ(reduced.report, report(5, 4, 4, 1, 3, 2));
    // The source store is only read.
    EXPECT_EQ(store.node_count(), 5u);
    EXPECT_TRUE(store.marks().empty());
  }
}

TEST(ReductionPipeline, NoRootsGiveAnEmptyStore) {
  StoreCore store;
  add(store, src("x"));
  add(store, op("neg", {0}));
  ASSERT_FALSE(store.mark_output(1));
  StoreCore unmarked;
  add(unmarked, src("x"));
  const ReducedStore empty_outputs = reduce_outputs(store, {}, kPassThrough);
  const ReducedStore no_marks = reduce_with_marks(unmarked, kPassThrough, false);
  EXPECT_EQ(empty_outputs.report, report(2, 0, 0, 0, 0, 0));
  EXPECT_EQ(no_marks.report, report(1, 0, 0, 0, 0, 0));
  for (const ReducedStore* reduced : {&empty_outputs, &no_marks}) {
    EXPECT_EQ(reduced->store->node_count(), 0u);
    EXPECT_TRUE(reduced->store->marks().empty());
  }
  // With marks the same store reduces to its marked output.
  const ReducedStore marked = reduce_with_marks(store, kPassThrough, false);
  EXPECT_EQ(nodes_text(marked.store->snapshot().nodes),
            (std::vector<std::string>{"src|x", "stage[0] op|neg(i0)"}));
  EXPECT_EQ(marked.store->marks(), std::vector<NodeId>{1});
}

TEST(ReductionPipeline, FirstOutputIdOutOfRangeIsReported) {
  StoreCore store;
  for (const char* name : {"a", "b", "c", "d", "e"})
    add(store, src(name));
  const std::vector<std::pair<std::vector<NodeId>, NodeId>> cases = {
      {{5}, 5}, {{0, 9, 12}, 9}, {{4, 5}, 5}};
  for (const auto& [outputs, bad] : cases) {
    auto reduced = reduce_with_outputs(store, outputs, kPassThrough, false);
    ASSERT_FALSE(reduced.has_value());
    EXPECT_EQ(reduced.error().id, bad);
  }
  EXPECT_EQ(store.node_count(), 5u);
}

TEST(ReductionPipeline, ReachabilityCountsEachNodeOnceAndKeepsRootRepeats) {
  // 4 and 5 are dead; 0 is reached along two paths; root 3 is listed twice.
  const std::vector<Node> nodes = {src("x"),          op("neg", {0}), op("exp", {0}),
                                   op("add", {1, 2}), src("dead"),    op("neg", {4})};
  const std::vector<NodeId> roots = {3, 3, 1};
  const ReducedGraph reduced = reduce_graph(nodes, roots, kPassThrough, false);
  EXPECT_EQ(reduced.report, report(6, 4, 4, 2, 3, 1));
  EXPECT_EQ(nodes_text(reduced.nodes),
            (std::vector<std::string>{"src|x", "stage[0] op|neg(i0)",
                                      "stage[0,1] op|exp(i0) op|add(i1,m0)"}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{2, 2, 1}));
  // Marks are distinct in the store built from it.
  EXPECT_EQ(from_reduced(ReducedGraph(reduced)).store->marks(), (std::vector<NodeId>{2, 1}));
}

TEST(ReductionPipeline, DeepChainsNeedNoRecursion) {
  constexpr std::size_t kDepth = 1'000'000;
  std::vector<Node> nodes;
  nodes.reserve(kDepth + 1);
  nodes.push_back(src("x"));
  for (NodeId i = 0; i < kDepth; ++i)
    nodes.push_back(i % 2 == 0 ? op("neg", {i}) : sum({i}));
  const std::vector<NodeId> roots = {kDepth};
  const ReducedGraph reduced = reduce_graph(nodes, roots, kPassThrough, false);
  EXPECT_EQ(reduced.report,
            report(kDepth + 1, kDepth + 1, kDepth + 1, kDepth / 2, kDepth + 1, kDepth / 2 + 1));
  EXPECT_EQ(node_text(reduced.nodes[1]), "stage[0] op|neg(i0)");
  EXPECT_EQ(node_text(reduced.nodes.back()), "red|sum[" + std::to_string(kDepth - 1) + "]");
  EXPECT_EQ(reduced.outputs, std::vector<NodeId>{kDepth});
}

TEST(ReductionPipeline, CommutedPairKeepsTheSmallerIdWithItsOperandOrder) {
  StoreCore store;
  add(store, src("x"));
  add(store, src("y"));
  add(store, op("add", {1, 0}));
  add(store, op("add", {0, 1}));
  add(store, sum({3}));
  const SaturationEngine saturation;
  const ReducedStore reduced = reduce_outputs(store, {4, 3, 2}, saturation);
  EXPECT_EQ(nodes_text(reduced.store->snapshot().nodes),
            (std::vector<std::string>{"src|x", "src|y", "stage[1,0] op|add(i0,i1)", "red|sum[2]"}));
  EXPECT_EQ(reduced.store->marks(), (std::vector<NodeId>{3, 2}));
  EXPECT_EQ(reduced.report, report(5, 5, 4, 1, 4, 3));
  // Without the rewrite rules the two orders stay apart.
  EXPECT_EQ(reduce_outputs(store, {4, 3, 2}, kPassThrough).report, report(5, 5, 5, 2, 5, 3));
}

struct IdentityCase {
  const char* what;
  Node candidate;  // reads x (node 0); neg reads the candidate
  bool removed;
};

void PrintTo(const IdentityCase& c, std::ostream* os) {
  *os << c.what;
}

class Identities : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(Identities, OnlyTheNeutralScalarsDisappear) {
  const IdentityCase& c = GetParam();
  StoreCore store;
  add(store, src("x"));
  add(store, c.candidate);
  add(store, op("neg", {1}));
  const SaturationEngine saturation;
  const ReducedStore reduced = reduce_outputs(store, {2, 1}, saturation);
  const StoreSnapshot result = reduced.store->snapshot();
  if (c.removed) {
    EXPECT_EQ(nodes_text(result.nodes), (std::vector<std::string>{"src|x", "stage[0] op|neg(i0)"}))
        << c.what;
    EXPECT_EQ(result.marks, (std::vector<NodeId>{1, 0})) << c.what;
    EXPECT_EQ(reduced.report.canonical_nodes, 2u) << c.what;
  } else {
    ASSERT_EQ(result.nodes.size(), 3u) << c.what;
    EXPECT_EQ(result.nodes[1].members()[0].key, canonical_key(c.candidate)) << c.what;
    EXPECT_EQ(result.marks, (std::vector<NodeId>{2, 1})) << c.what;
    EXPECT_EQ(reduced.report.canonical_nodes, 3u) << c.what;
  }
}

ParamMap scalar_side(ParamValue scalar, const char* side) {
  return params({{"scalar", std::move(scalar)}, {"side", ParamValue::of_str(side)}});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Identities,
    ::testing::Values(
        IdentityCase{"add 0.0 right",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {0}), true},
        IdentityCase{"add 0.0 left",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "l"), {0}), true},
        IdentityCase{"mul 1.0 right",
                     Node::op("mul", scalar_side(ParamValue::of_float(1.0), "r"), {0}), true},
        IdentityCase{"mul 1.0 left",
                     Node::op("mul", scalar_side(ParamValue::of_float(1.0), "l"), {0}), true},
        IdentityCase{"int scalar", Node::op("add", scalar_side(ParamValue::of_int(0), "r"), {0}),
                     false},
        IdentityCase{"negative zero",
                     Node::op("add", scalar_side(ParamValue::of_float(-0.0), "r"), {0}), false},
        IdentityCase{"side left",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "left"), {0}), false},
        IdentityCase{"mul by zero",
                     Node::op("mul", scalar_side(ParamValue::of_float(0.0), "r"), {0}), false},
        IdentityCase{"extra parameter",
                     Node::op("add",
                              params({{"scalar", ParamValue::of_float(0.0)},
                                      {"side", ParamValue::of_str("r")},
                                      {"z", ParamValue::of_int(1)}}),
                              {0}),
                     false},
        IdentityCase{"two inputs",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {0, 0}), false}));

TEST(ReductionPipeline, ChainedIdentitiesCollapseToTheirOperand) {
  StoreCore store;
  add(store, src("x"));
  add(store, Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {0}));
  add(store, Node::op("mul", scalar_side(ParamValue::of_float(1.0), "l"), {1}));
  const SaturationEngine saturation;
  const ReducedStore reduced = reduce_outputs(store, {2}, saturation);
  EXPECT_EQ(nodes_text(reduced.store->snapshot().nodes), std::vector<std::string>{"src|x"});
  EXPECT_EQ(reduced.store->marks(), std::vector<NodeId>{0});
  EXPECT_EQ(reduced.report, report(3, 3, 1, 0, 1, 1));
}

TEST(ReductionPipeline, UsersOfMergedNodesMerge) {
  StoreCore store;
  add(store, src("x"));
  add(store, src("y"));
  add(store, op("add", {0, 1}));
  add(store, op("add", {1, 0}));
  add(store, op("neg", {2}));
  add(store, op("neg", {3}));
  add(store, op("mul", {4, 5}));
  const SaturationEngine saturation;
  const ReducedStore reduced = reduce_outputs(store, {6}, saturation);
  EXPECT_EQ(nodes_text(reduced.store->snapshot().nodes),
            (std::vector<std::string>{"src|x", "src|y", "stage[0,1] op|add(i0,i1) op|neg(m0)",
                                      "stage[2] op|mul(i0,i0)"}));
  EXPECT_EQ(reduced.report, report(7, 7, 5, 2, 4, 2));
}

TEST(ReductionPipeline, EqualNodesOfAPlainListAreHashConsed) {
  // Not a store: equal nodes may repeat, and their users become equal in turn.
  const std::vector<Node> nodes = {src("x"), src("x"), op("neg", {0}), op("neg", {1}),
                                   op("add", {2, 3})};
  const std::vector<NodeId> roots = {4, 3};
  const ReducedGraph reduced = reduce_graph(nodes, roots, kPassThrough, false);
  EXPECT_EQ(reduced.report, report(5, 5, 3, 2, 3, 1));
  EXPECT_EQ(nodes_text(reduced.nodes),
            (std::vector<std::string>{"src|x", "stage[0] op|neg(i0)", "stage[1] op|add(i0,i0)"}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{2, 1}));
}

TEST(ReductionPipeline, NodesThatDifferOnlyInParamsOrKindKeepTheirOwnKeys) {
  // Far more distinct (kind, name, params) than any cache of recent keys holds, met twice in
  // opposite orders: a key reused for the wrong node would merge two of them.
  constexpr std::int64_t kDistinct = 600;
  std::vector<Node> nodes = {src("x")};
  for (const bool reversed : {false, true}) {
    for (std::int64_t i = 0; i < kDistinct; ++i) {
      const std::int64_t k = reversed ? kDistinct - 1 - i : i;
      auto factor = [&] { return params({{"factor", ParamValue::of_int(k)}}); };
      nodes.push_back(Node::op("scale", factor(), {0}));
      nodes.push_back(reduction_node("scale", factor(), {0}));
      nodes.push_back(source_node("scale", factor()));
    }
  }
  std::vector<NodeId> roots(nodes.size());
  std::iota(roots.begin(), roots.end(), NodeId{0});
  const ReducedGraph reduced = reduce_graph(nodes, roots, kPassThrough, false);
  EXPECT_EQ(reduced.report.canonical_nodes, 1 + 3 * kDistinct);
  // Each node of the second round ends where its twin of the first round does.
  for (std::size_t i = 1; i <= 3 * kDistinct; ++i) {
    const std::size_t round = i - 1;
    const std::size_t k = round / 3;
    const std::size_t twin = 1 + 3 * kDistinct + 3 * (kDistinct - 1 - k) + round % 3;
    EXPECT_EQ(reduced.outputs[i], reduced.outputs[twin]) << "node " << i;
  }
}

TEST(ReductionPipeline, MaximalFusionIsPassedThrough) {
  const std::vector<Node> nodes = {src("x"), op("neg", {0}), op("mul", {1, 1}), sum({2})};
  const std::vector<NodeId> roots = {3};
  const ReducedGraph single = reduce_graph(nodes, roots, kPassThrough, false);
  const ReducedGraph maximal = reduce_graph(nodes, roots, kPassThrough, true);
  EXPECT_EQ(single.report, report(4, 4, 4, 2, 4, 2));
  EXPECT_EQ(maximal.report, report(4, 4, 4, 1, 3, 2));
  EXPECT_EQ(node_text(maximal.nodes[1]), "stage[0] op|neg(i0) op|mul(m0,m0)");
}

PayloadDescriptor descriptor(const char* kind, const char* hash, std::optional<std::string> ref) {
  return PayloadDescriptor{kind, hash, "fw", "1", "io", std::move(ref)};
}

// Nodes whose canonical keys coincide although they differ: the optimizer must keep them apart
// and rebuild each one from its own prototype.
std::vector<Node> nodes_sharing_canonical_keys() {
  return {
      src("x"),
      Node::external(descriptor("k", "h", std::nullopt), {}, {0}),
      Node::external(descriptor("k", "h", "-"), {}, {0}),
      Node::external(descriptor("a|b", "c", std::nullopt), {}, {0}),
      Node::external(descriptor("a", "b|c", std::nullopt), {}, {0}),
      Node::stage({0}, {StageMember{"op|neg", {{MemberTokenKind::Input, 0}}},
                        StageMember{"op|exp", {{MemberTokenKind::Member, 0}}}}),
      Node::stage({0}, {StageMember{"op|exp", {{MemberTokenKind::Input, 0}}},
                        StageMember{"op|neg", {{MemberTokenKind::Member, 0}}}}),
      Node::stage({0}, {StageMember{"op|exp", {{MemberTokenKind::Input, 0}}},
                        StageMember{"op|neg", {{MemberTokenKind::Input, 0}}}}),
  };
}

TEST(OptimizerKey, SeparatesNodesThatShareACanonicalKey) {
  const std::vector<Node> nodes = nodes_sharing_canonical_keys();
  ASSERT_EQ(canonical_key(nodes[1]), canonical_key(nodes[2]));
  ASSERT_EQ(canonical_key(nodes[3]), canonical_key(nodes[4]));
  ASSERT_EQ(canonical_key(nodes[5]), canonical_key(nodes[7]));
  std::vector<std::string> keys;
  for (const Node& node : nodes)
    keys.push_back(optimizer_key(node));
  // Member keys that hold separators, and params on an External, stay apart as well.
  keys.push_back(optimizer_key(Node::stage({0}, {StageMember{"a;i0", {}}})));
  keys.push_back(
      optimizer_key(Node::stage({0}, {StageMember{"a", {{MemberTokenKind::Input, 0}}}})));
  keys.push_back(optimizer_key(Node::stage({0}, {StageMember{"a|b", {}}})));
  keys.push_back(optimizer_key(Node::stage({0}, {StageMember{"a", {}}, StageMember{"b", {}}})));
  keys.push_back(optimizer_key(
      Node::external(descriptor("k", "h", "-"), params({{"p", ParamValue::of_int(1)}}), {0})));
  keys.push_back(optimizer_key(Node::external(descriptor("k", "h", "-|p=i1"), {}, {0})));
  for (std::size_t a = 0; a < keys.size(); ++a) {
    for (std::size_t b = a + 1; b < keys.size(); ++b) {
      EXPECT_NE(keys[a], keys[b]) << a << " and " << b;
    }
    EXPECT_FALSE(keys[a].starts_with("op|")) << keys[a];
  }
}

TEST(OptimizerKey, IsTheCanonicalKeyWhereThatIsAlreadyInjective) {
  const std::vector<Node> nodes = {
      src("a|b"),
      Node::op("mul", scalar_side(ParamValue::of_float(1.0), "l"), {0}),
      reduction_node("sum", params({{"axis", ParamValue::of_int(-1)}}), {0}),
      exchange_node(params({{"scheme", ParamValue::of_str("ring")}}), {0}),
      Node::external(descriptor("k", "h", std::nullopt), {}, {0}),
  };
  for (const Node& node : nodes)
    EXPECT_EQ(optimizer_key(node), canonical_key(node));
}

TEST(ReductionPipeline, NodesSharingACanonicalKeyStayApart) {
  const SaturationEngine saturation;
  for (const RewriteEngine* engine : {static_cast<const RewriteEngine*>(&kPassThrough),
                                      static_cast<const RewriteEngine*>(&saturation)}) {
    StoreCore store;
    const std::vector<Node> nodes = nodes_sharing_canonical_keys();
    std::vector<NodeId> outputs;
    for (const Node& node : nodes)
      outputs.push_back(add(store, node));
    const ReducedStore reduced = reduce_outputs(store, outputs, *engine);
    // Nothing here is an operator: every node passes through as itself.
    const NodeList passed = reduced.store->snapshot().nodes;
    EXPECT_EQ(std::vector<Node>(passed.begin(), passed.end()), nodes);
    EXPECT_EQ(reduced.report, report(8, 8, 8, 0, 8, 8));
  }
}

// Commuted pairs, an identity, shared operators, an External and an Exchange.
void build_rich_store(StoreCore& store) {
  add(store, src("x"));
  add(store, src("y"));
  add(store, op("add", {0, 1}));
  add(store, op("add", {1, 0}));
  add(store, Node::op("mul", scalar_side(ParamValue::of_float(1.0), "r"), {3}));
  add(store, op("exp", {4}));
  add(store, op("mul", {2, 5}));
  add(store, op("neg", {6}));
  add(store, Node::external(descriptor("k", "h", "r"), {}, {6, 7}));
  add(store, exchange_node(params({{"scheme", ParamValue::of_str("ring")}}), {8}));
  add(store, op("maximum", {9, 7}));
  add(store, sum({10}));
  add(store, op("minimum", {7, 11}));
  for (const NodeId id : {11, 12, 7})
    ASSERT_FALSE(store.mark_output(id));
}

TEST(ReductionPipeline, AReducedStoreReducesToItselfWithoutNewStages) {
  const SaturationEngine saturation;
  for (const bool maximal : {false, true}) {
    StoreCore store;
    build_rich_store(store);
    const ReducedStore once = reduce_with_marks(store, saturation, maximal);
    ASSERT_GT(once.report.stages, 0u);
    const ReducedStore twice = reduce_with_marks(*once.store, saturation, maximal);
    EXPECT_EQ(twice.report.stages, 0u);
    EXPECT_EQ(twice.report.boundary_nodes, twice.report.reduced_nodes);
    EXPECT_EQ(twice.store->snapshot().nodes, once.store->snapshot().nodes);
    EXPECT_EQ(twice.store->marks(), once.store->marks());
  }
}

// The rich store, with every node that shares a canonical key with another added and marked.
void build_rich_store_marking_shared_keys(StoreCore& store) {
  build_rich_store(store);
  for (const Node& node : nodes_sharing_canonical_keys())
    ASSERT_FALSE(store.mark_output(add(store, node)));
}

// The store-level entries consume their copy of the node list and move the prototypes out of it
// early; the result must not differ from reduce_graph on a borrowed list.
TEST(ReductionPipeline, StoreEntriesMatchReduceGraphOnTheSameNodes) {
  const SaturationEngine saturation;
  for (const bool maximal : {false, true}) {
    StoreCore store;
    build_rich_store_marking_shared_keys(store);
    ASSERT_FALSE(store.mark_output(add(store, sum({7}))));
    // Past its first thousand nodes or so a store stops shaping them: the same operators over
    // later nodes then take the other road to the same keys.
    const NodeId first_late = 2000;
    for (NodeId i = store.node_count(); i < first_late; ++i)
      add(store, src(("filler" + std::to_string(i)).c_str()));
    for (const Node& node : store.snapshot().nodes) {
      if (!node.inputs().empty() && node.inputs().back() + 2 < first_late) {
        std::vector<NodeId> late(node.inputs().begin(), node.inputs().end());
        late.back() = first_late - 1;
        ASSERT_FALSE(store.mark_output(add(store, node.with_inputs(late))));
      }
    }
    const StoreSnapshot snapshot = store.snapshot();
    const ReducedGraph direct = reduce_graph(snapshot.nodes, snapshot.marks, saturation, maximal);
    const ReducedStore marks = reduce_with_marks(store, saturation, maximal);
    const ReducedStore outputs = reduce_outputs(store, snapshot.marks, saturation, maximal);
    for (const ReducedStore* reduced : {&marks, &outputs}) {
      EXPECT_EQ(reduced->store->snapshot().nodes, direct.nodes);
      EXPECT_EQ(reduced->report, direct.report);
    }
    EXPECT_EQ(direct.report.input_nodes, snapshot.nodes.size());
  }
}

TEST(ReductionPipeline, AnEngineWithItsOwnKeyTableGivesTheSameResult) {
  const OwnKeyTableEngine own_keys;
  for (const bool maximal : {false, true}) {
    StoreCore store;
    build_rich_store_marking_shared_keys(store);
    const ReducedStore shared = reduce_with_marks(store, kPassThrough, maximal);
    const ReducedStore own = reduce_with_marks(store, own_keys, maximal);
    EXPECT_EQ(own.store->snapshot().nodes, shared.store->snapshot().nodes);
    EXPECT_EQ(own.report, shared.report);
  }
}

TEST(ReductionPipeline, ResultsAreDeterministic) {
  for (const bool maximal : {false, true}) {
    std::vector<StoreSnapshot> results;
    std::vector<ReductionReport> reports;
    for (int run = 0; run < 3; ++run) {
      StoreCore store;
      build_rich_store(store);
      const SaturationEngine saturation;
      const ReducedStore reduced = reduce_with_marks(store, saturation, maximal);
      results.push_back(reduced.store->snapshot());
      reports.push_back(reduced.report);
    }
    for (int run = 1; run < 3; ++run) {
      EXPECT_EQ(results[run].nodes, results[0].nodes);
      EXPECT_EQ(results[run].marks, results[0].marks);
      EXPECT_EQ(reports[run], reports[0]);
    }
  }
}

TEST(FromReduced, EqualNodesAndRepeatedMarksCollapse) {
  std::vector<Node> nodes = {src("x"), src("x"), op("neg", {1}), op("neg", {0})};
  const std::vector<NodeId> outputs = {3, 2, 0};
  const auto store = from_reduced(std::move(nodes), outputs);
  EXPECT_EQ(nodes_text(store->snapshot().nodes), (std::vector<std::string>{"src|x", "op|neg[0]"}));
  EXPECT_EQ(store->marks(), (std::vector<NodeId>{1, 0}));
}

TEST(FromReduced, BrokenInvariantsAreInternalErrors) {
  const auto message_of = [](std::vector<Node> nodes, std::vector<NodeId> outputs) {
    try {
      from_reduced(std::move(nodes), outputs);
    } catch (const InternalError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_TRUE(message_of({src("x"), op("neg", {1})}, {})
                  .starts_with("reduced graph references only earlier nodes"));
  EXPECT_TRUE(message_of({src("x")}, {1}).starts_with("reduced output is valid"));
}

// A term's key is a view into its table, so no text may move while the table grows: keys copied
// across many blocks (the first longer than a block) and keys borrowed from their owner.
TEST(KeyTable, TextsStayWhereTheyAreAsTheTableGrows) {
  KeyTable table(7);
  std::vector<std::string> owned{std::string(5000, 'x')};
  for (int i = 0; i < 3000; ++i)
    owned.push_back("op:" + std::string(static_cast<std::size_t>(i % 97), 'k') + std::to_string(i));
  owned.emplace_back();
  const std::string borrowed = "borrowed key";
  std::vector<const char*> where;
  for (std::size_t i = 0; i < owned.size(); ++i) {
    ASSERT_EQ(table.intern(owned[i]), i);
    where.push_back(table.text(static_cast<KeyId>(i)).data());
  }
  const KeyId lent = table.add_borrowed(borrowed, optimizer_key_hash(borrowed, 7));
  for (std::size_t i = 0; i < owned.size(); ++i) {
    const auto id = static_cast<KeyId>(i);
    EXPECT_EQ(table.text(id), owned[i]);
    EXPECT_EQ(table.text(id).data(), where[i]);
    EXPECT_EQ(table.find(owned[i]), id);
    EXPECT_EQ(table.intern(owned[i]), id);
  }
  EXPECT_EQ(table.text(lent).data(), borrowed.data());
  EXPECT_EQ(table.find("borrowed key"), lent);
  EXPECT_EQ(table.size(), owned.size() + 1);
}

}  // namespace
}  // namespace zembric
