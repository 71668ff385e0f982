#include "optimizer/reducer_state.h"
#include "optimizer/rewrite_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "node_factories.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/saturation_engine.h"

namespace zembric {
namespace {

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

ParamMap scalar_side(ParamValue scalar, const char* side) {
  return params({{"scalar", std::move(scalar)}, {"side", ParamValue::of_str(side)}});
}

// 0 = x, 1 = y, 2 = add(0, 1), 3 = add(1, 0), 4 = add [3] + 0.0 on the right, 5 = mul(2, 4).
std::vector<Node> worked_example() {
  return {source_node("x", {}),
          source_node("y", {}),
          Node::op("add", {}, {0, 1}),
          Node::op("add", {}, {1, 0}),
          Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {3}),
          Node::op("mul", {}, {2, 4})};
}

std::vector<NodeId> ids(std::span<const NodeId> span) {
  return {span.begin(), span.end()};
}

TEST(ReducerState, WorkedExampleInOneOrTwoFeeds) {
  ReducerState once;
  EXPECT_EQ(once.consume(worked_example()).value(), 6u);

  ReducerState twice;
  std::vector<Node> all = worked_example();
  EXPECT_EQ(twice.consume({all.begin(), all.begin() + 3}).value(), 3u);
  EXPECT_EQ(twice.consume({all.begin() + 3, all.end()}).value(), 3u);

  for (const ReducerState* state : {&once, &twice}) {
    EXPECT_EQ(state->canonical_count(), 4u);
    EXPECT_EQ(ids(state->id_map()), (std::vector<NodeId>{0, 1, 2, 2, 2, 3}));
    EXPECT_EQ(state->total_work(), 6u);
    EXPECT_EQ(state->watermark(), 6u);
    // The mul reads the one canonical add twice: a mul of store node 2 with itself is the same.
    ReducerState probe = *state;
    EXPECT_EQ(probe.consume(std::vector<Node>{Node::op("mul", {}, {2, 2})}).value(), 1u);
    EXPECT_EQ(probe.id_map()[6], 3u);
    EXPECT_EQ(probe.canonical_count(), 4u);
  }
  EXPECT_EQ(twice.consume({}).value(), 0u);
  EXPECT_EQ(twice.total_work(), 6u);
}

struct CanonCase {
  const char* what;
  Node second;  // fed after x = 0, y = 1, first = add(0, 1) at 2
  bool merges_with_first;
};

class Canonicalization : public ::testing::TestWithParam<CanonCase> {};

TEST_P(Canonicalization, MergesOnlyWhatTheRulesProve) {
  ReducerState state;
  ASSERT_TRUE(state.consume(
      std::vector<Node>{source_node("x", {}), source_node("y", {}), Node::op("add", {}, {0, 1})}));
  ASSERT_TRUE(state.consume(std::vector<Node>{GetParam().second}));
  EXPECT_EQ(state.id_map()[3] == 2, GetParam().merges_with_first) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Canonicalization,
    ::testing::Values(CanonCase{"swapped commutative", Node::op("add", {}, {1, 0}), true},
                      CanonCase{"same orientation", Node::op("add", {}, {0, 1}), true},
                      CanonCase{"swapped non-commutative", Node::op("sub", {}, {1, 0}), false},
                      CanonCase{"swapped with a param",
                                Node::op("add", params({{"p", ParamValue::of_int(1)}}), {1, 0}),
                                false},
                      CanonCase{"three operands", Node::op("add", {}, {1, 0, 0}), false}));

struct IdentityCase {
  const char* what;
  Node node;  // fed after x = 0, y = 1
  bool eliminated;
};

class IdentityElimination : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityElimination, OnlyOneOperandNeutralScalarsVanish) {
  ReducerState state;
  ASSERT_TRUE(state.consume(
      std::vector<Node>{source_node("x", {}), source_node("y", {}), GetParam().node}));
  if (GetParam().eliminated) {
    EXPECT_EQ(state.id_map()[2], 0u) << GetParam().what;
    EXPECT_EQ(state.canonical_count(), 2u) << GetParam().what;
  } else {
    EXPECT_EQ(state.id_map()[2], 2u) << GetParam().what;
    EXPECT_EQ(state.canonical_count(), 3u) << GetParam().what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentityElimination,
    ::testing::Values(
        IdentityCase{"add 0.0 left",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "l"), {0}), true},
        IdentityCase{"mul 1.0 right",
                     Node::op("mul", scalar_side(ParamValue::of_float(1.0), "r"), {0}), true},
        IdentityCase{"int scalar", Node::op("add", scalar_side(ParamValue::of_int(0), "l"), {0}),
                     false},
        IdentityCase{"negative zero",
                     Node::op("add", scalar_side(ParamValue::of_float(-0.0), "l"), {0}), false},
        IdentityCase{"wrong side",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "left"), {0}), false},
        IdentityCase{"mul by zero",
                     Node::op("mul", scalar_side(ParamValue::of_float(0.0), "r"), {0}), false},
        IdentityCase{"no operand", Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {}),
                     false},
        // Two operands: the rules only match one, and mapping to the first would lose the second.
        IdentityCase{"two operands",
                     Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {0, 1}), false},
        IdentityCase{"reduction named add",
                     reduction_node("add", scalar_side(ParamValue::of_float(0.0), "r"), {0}),
                     false}));

struct MergeCase {
  const char* what;
  Node first;   // fed at 3, after x = 0, y = 1 and 2 = x + 0.0, which stands for x
  Node second;  // fed at 4; names 2 where `first` names 0
  bool merges;
};

PayloadDescriptor descriptor(std::optional<std::string> preprocessing_ref) {
  return {"matmul", "ab12", "kernels", "1.4", "(f32) -> f32", std::move(preprocessing_ref)};
}

Node stage_over(NodeId input, std::uint64_t token_index) {
  return Node::stage(
      {input, 1},
      {StageMember{"op|add|",
                   {{MemberTokenKind::Input, 0}, {MemberTokenKind::Input, token_index}}}});
}

Node scaled(NodeId input, double factor) {
  return Node::op("scale", params({{"factor", ParamValue::of_float(factor)}}), {input});
}

class EqualNodes : public ::testing::TestWithParam<MergeCase> {};

// Nodes are probed with their translated inputs and compared field by field, never rebuilt: every
// kind must merge exactly when the rebuilt nodes would be equal.
TEST_P(EqualNodes, MergeExactlyWhenEqualAfterTranslation) {
  ReducerState state;
  ASSERT_TRUE(state.consume(
      std::vector<Node>{source_node("x", {}), source_node("y", {}),
                        Node::op("add", scalar_side(ParamValue::of_float(0.0), "r"), {0}),
                        GetParam().first, GetParam().second}));
  EXPECT_EQ(state.id_map()[4] == state.id_map()[3], GetParam().merges) << GetParam().what;
  EXPECT_EQ(state.canonical_count(), GetParam().merges ? 3u : 4u) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EqualNodes,
    ::testing::Values(
        MergeCase{"external", Node::external(descriptor("l/1"), {}, {0, 1}),
                  Node::external(descriptor("l/1"), {}, {2, 1}), true},
        MergeCase{"external, absent or empty reference", Node::external(descriptor({}), {}, {0, 1}),
                  Node::external(descriptor(""), {}, {2, 1}), false},
        MergeCase{"stage", stage_over(0, 1), stage_over(2, 1), true},
        MergeCase{"stage, other token", stage_over(0, 1), stage_over(2, 0), false},
        MergeCase{"reduction",
                  reduction_node("sum", params({{"axis", ParamValue::of_int(-1)}}), {0}),
                  reduction_node("sum", params({{"axis", ParamValue::of_int(-1)}}), {2}), true},
        MergeCase{"exchange", exchange_node(params({{"g", ParamValue::of_str("a")}}), {0}),
                  exchange_node(params({{"g", ParamValue::of_str("a")}}), {2}), true},
        MergeCase{"exchange, other param",
                  exchange_node(params({{"g", ParamValue::of_str("a")}}), {0}),
                  exchange_node(params({{"g", ParamValue::of_str("b")}}), {2}), false},
        MergeCase{"NaNs of other payloads", scaled(0, std::nan("1")), scaled(2, std::nan("2")),
                  true},
        MergeCase{"zero and negative zero", scaled(0, 0.0), scaled(2, -0.0), false},
        MergeCase{"swapped commutative", Node::op("maximum", {}, {0, 1}),
                  Node::op("maximum", {}, {1, 2}), true},
        MergeCase{"swapped non-commutative", Node::op("max", {}, {0, 1}),
                  Node::op("max", {}, {1, 2}), false},
        MergeCase{"same operand twice", Node::op("mul", {}, {0, 0}), Node::op("mul", {}, {2, 0}),
                  true}));

TEST(ReducerState, CommutativeNamesAreExactlyTheEight) {
  for (const char* name : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    EXPECT_TRUE(has_commutative_name(Node::op(name, {}, {0, 1}))) << name;
    EXPECT_FALSE(has_commutative_name(reduction_node(name, {}, {0, 1}))) << name;
  }
  for (const char* name : {"", "ad", "adds", "Add", "max", "maximun", "sub", "or ", "xor"}) {
    EXPECT_FALSE(has_commutative_name(Node::op(name, {}, {0, 1}))) << name;
  }
}

TEST(ReducerState, BadInputStopsMidDeltaWithoutCountingIt) {
  ReducerState state;
  auto result = state.consume(std::vector<Node>{source_node("x", {}), Node::op("neg", {}, {0}),
                                                Node::op("exp", {}, {5}), source_node("z", {})});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().id, 5u);
  EXPECT_EQ(state.watermark(), 2u);
  EXPECT_EQ(state.total_work(), 0u);
}

TEST(ReducerState, ReduceCanonicalMapsOutputsAndLeavesTheStateAlone) {
  ReducerState state;
  ASSERT_TRUE(state.consume(worked_example()));
  const SaturationEngine engine;

  const ReducedGraph five = state.reduce_canonical(std::vector<NodeId>{5}, engine, false).value();
  EXPECT_EQ(five.report.input_nodes, 4u);
  EXPECT_EQ(five.report.reachable_nodes, 4u);

  const ReducedGraph three = state.reduce_canonical(std::vector<NodeId>{3}, engine, false).value();
  ASSERT_EQ(three.outputs.size(), 1u);
  // The add in the orientation first consumed, (x, y), fused as the stage's one member.
  const Node& root = three.nodes[three.outputs[0]];
  ASSERT_EQ(root.kind(), NodeKind::Stage);
  EXPECT_EQ(root.members()[0].key, "op|add");
  EXPECT_EQ(ids(root.inputs()), (std::vector<NodeId>{0, 1}));
  EXPECT_EQ(three.nodes[0], source_node("x", {}));

  auto bad = state.reduce_canonical(std::vector<NodeId>{6}, engine, false);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().id, 6u);
  EXPECT_EQ(state.canonical_count(), 4u);
  EXPECT_EQ(state.total_work(), 6u);
}

// The short calls run only under their size limit, and then as the plain calls do.
TEST(IncrementalReducer, ShortCallsRunOnlyUnderTheirLimit) {
  StoreCore store;
  std::vector<NodeId> roots;
  for (Node& node : worked_example())
    roots = {store.intern(std::move(node)).value()};
  IncrementalReducer reducer;
  EXPECT_FALSE(reducer.step_if_short(store, 6));  // the delta is 6 nodes
  EXPECT_EQ(reducer.watermark(), 0u);
  EXPECT_EQ(reducer.step_if_short(store, 7)->value(), 6u);
  // Finalize counts the canonical form and the delta together: here one node more.
  (void)store.intern(Node::op("neg", {}, {roots[0]}));
  const std::uint64_t limit = reducer.canonical_count() + 1;
  EXPECT_FALSE(reducer.finalize_if_short(store, roots, false, true, limit));
  EXPECT_EQ(reducer.watermark(), 6u);
  const auto short_result = reducer.finalize_if_short(store, roots, false, true, limit + 1);
  ASSERT_TRUE(short_result && *short_result);
  IncrementalReducer plain;
  const auto plain_result = plain.finalize(store, roots, false, true);
  ASSERT_TRUE(plain_result);
  EXPECT_EQ(short_result->value().report, plain_result.value().report);
  EXPECT_EQ(short_result->value().store->snapshot().nodes,
            plain_result.value().store->snapshot().nodes);
  EXPECT_EQ(short_result->value().map->roots, plain_result.value().map->roots);
  // A bad root is reported before anything is consumed.
  EXPECT_FALSE(*reducer.finalize_if_short(store, std::vector<NodeId>{99}, false, false, 100));
}

}  // namespace
}  // namespace zembric
