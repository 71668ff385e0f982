#include "optimizer/stage_fusion.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "node_factories.h"
#include "node_text.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

Term src(const char* name) {
  return Term{std::string("src|") + name, {}, true};
}
Term red(std::vector<TermIndex> children) {
  return Term{"red|sum", std::move(children), true};
}
Term op(const char* name, std::vector<TermIndex> children) {
  return Term{std::string("op|") + name, std::move(children), false};
}

// Fuses `graph` with prototypes made from its boundary keys: "src|x" is Source x, "red|sum" is
// Reduction sum.
FusionResult fuse(const TermGraph& graph, bool maximal) {
  std::deque<Node> nodes;
  PrototypeTable prototypes;
  for (TermIndex i = 0; i < graph.size(); ++i) {
    const Term term = graph.term(i);
    if (!term.is_boundary) continue;
    if (term.key.starts_with("src|")) {
      nodes.push_back(source_node(term.key.substr(4), {}));
    } else if (term.key.starts_with("red|")) {
      nodes.push_back(reduction_node(term.key.substr(4), {}, {}));
    } else {
      continue;
    }
    prototypes.add(graph.key_id(i), nodes.back());
  }
  return fuse_and_emit(graph, prototypes, maximal);
}

struct FusionCase {
  const char* what;
  TermGraph graph;
  std::vector<std::string> single_use;  // emitted nodes under each rule
  std::vector<std::string> maximal;
  std::vector<NodeId> single_use_outputs;
  std::vector<NodeId> maximal_outputs;  // empty: the same as single_use_outputs
};

void PrintTo(const FusionCase& c, std::ostream* os) {
  *os << c.what;
}

class Fusion : public ::testing::TestWithParam<FusionCase> {};

TEST_P(Fusion, EmitsTheExpectedNodesUnderBothRules) {
  const FusionCase& c = GetParam();
  for (const bool maximal : {false, true}) {
    const FusionResult result = fuse(c.graph, maximal);
    const auto& expected = maximal ? c.maximal : c.single_use;
    EXPECT_EQ(nodes_text(result.nodes), expected) << c.what << (maximal ? " (maximal)" : "");
    const auto& outputs =
        maximal && !c.maximal_outputs.empty() ? c.maximal_outputs : c.single_use_outputs;
    EXPECT_EQ(result.outputs, outputs) << c.what;
    std::uint64_t stages = 0;
    for (const Node& node : result.nodes)
      stages += node.kind() == NodeKind::Stage;
    EXPECT_EQ(result.stages, stages) << c.what;
    EXPECT_EQ(result.boundary_nodes, result.nodes.size() - stages) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Fusion,
    ::testing::Values(
        FusionCase{"worked example",
                   {{src("s"), op("neg", {0}), op("exp", {1}), red({2})}, {3}},
                   {"src|s", "stage[0] op|neg(i0) op|exp(m0)", "red|sum[1]"},
                   {"src|s", "stage[0] op|neg(i0) op|exp(m0)", "red|sum[1]"},
                   {2},
                   {}},
        FusionCase{"a lone output operator is a one-member stage",
                   {{src("s"), op("neg", {0})}, {1}},
                   {"src|s", "stage[0] op|neg(i0)"},
                   {"src|s", "stage[0] op|neg(i0)"},
                   {1},
                   {}},
        FusionCase{"a chain of three operators is one stage",
                   {{src("s"), op("a", {0}), op("b", {1}), op("c", {2}), red({3})}, {4}},
                   {"src|s", "stage[0] op|a(i0) op|b(m0) op|c(m1)", "red|sum[1]"},
                   {"src|s", "stage[0] op|a(i0) op|b(m0) op|c(m1)", "red|sum[1]"},
                   {2},
                   {}},
        FusionCase{"two single-use producers join their consumer; the shared input is listed once",
                   {{src("s"), op("neg", {0}), op("exp", {0}), op("add", {1, 2}), red({3})}, {4}},
                   {"src|s", "stage[0] op|neg(i0) op|exp(i0) op|add(m0,m1)", "red|sum[1]"},
                   {"src|s", "stage[0] op|neg(i0) op|exp(i0) op|add(m0,m1)", "red|sum[1]"},
                   {2},
                   {}},
        FusionCase{
            "an operator read by two members of one stage",
            {{src("s"), op("neg", {0}), op("exp", {1}), op("add", {1, 2}), red({3})}, {4}},
            {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0) op|add(i0,m0)", "red|sum[2]"},
            {"src|s", "stage[0] op|neg(i0) op|exp(m0) op|add(m0,m1)", "red|sum[1]"},
            {3},
            {2}},
        FusionCase{"an operator feeding one consumer twice",
                   {{src("s"), op("neg", {0}), op("mul", {1, 1}), red({2})}, {3}},
                   {"src|s", "stage[0] op|neg(i0)", "stage[1] op|mul(i0,i0)", "red|sum[2]"},
                   {"src|s", "stage[0] op|neg(i0) op|mul(m0,m0)", "red|sum[1]"},
                   {3},
                   {2}},
        FusionCase{"an output operator is not fused into its consumer",
                   {{src("s"), op("neg", {0}), op("exp", {1}), red({2})}, {1, 3, 1}},
                   {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0)", "red|sum[2]"},
                   {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0)", "red|sum[2]"},
                   {1, 3, 1},
                   {}},
        FusionCase{"an output operator absorbs its producers",
                   {{src("s"), op("neg", {0}), op("exp", {1})}, {2}},
                   {"src|s", "stage[0] op|neg(i0) op|exp(m0)"},
                   {"src|s", "stage[0] op|neg(i0) op|exp(m0)"},
                   {1},
                   {}},
        FusionCase{"uses in two different stages",
                   {{src("s"), op("neg", {0}), op("exp", {1}), op("log", {1}), red({2}), red({3})},
                    {4, 5}},
                   {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0)", "stage[1] op|log(i0)",
                    "red|sum[2]", "red|sum[3]"},
                   {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0)", "stage[1] op|log(i0)",
                    "red|sum[2]", "red|sum[3]"},
                   {4, 5},
                   {}},
        FusionCase{
            "one use is a boundary node",
            {{src("s"), op("neg", {0}), op("exp", {1}), red({1}), red({2})}, {3, 4}},
            {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0)", "red|sum[1]", "red|sum[2]"},
            {"src|s", "stage[0] op|neg(i0)", "stage[1] op|exp(i0)", "red|sum[1]", "red|sum[2]"},
            {3, 4},
            {}},
        FusionCase{"stage inputs in first-use order",
                   {{src("x"), src("y"), op("add", {0, 1}), op("mul", {1, 2}), red({3})}, {4}},
                   {"src|x", "src|y", "stage[0,1] op|add(i0,i1) op|mul(i1,m0)", "red|sum[2]"},
                   {"src|x", "src|y", "stage[0,1] op|add(i0,i1) op|mul(i1,m0)", "red|sum[2]"},
                   {3},
                   {}},
        FusionCase{"a boundary read by a later member is emitted before the stage",
                   {{src("x"), op("neg", {0}), src("y"), op("add", {1, 2}), red({3})}, {4}},
                   {"src|x", "src|y", "stage[0,1] op|neg(i0) op|add(m0,i1)", "red|sum[2]"},
                   {"src|x", "src|y", "stage[0,1] op|neg(i0) op|add(m0,i1)", "red|sum[2]"},
                   {3},
                   {}},
        FusionCase{
            "maximal fusion follows a stage through several levels",
            {{src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3}), op("e", {1, 4}),
              red({5})},
             {6}},
            {"src|s", "stage[0] op|a(i0)", "stage[1] op|b(i0) op|c(i0) op|d(m0,m1) op|e(i0,m2)",
             "red|sum[2]"},
            {"src|s", "stage[0] op|a(i0) op|b(m0) op|c(m0) op|d(m1,m2) op|e(m0,m3)", "red|sum[1]"},
            {3},
            {2}},
        FusionCase{"an empty graph", {{}, {}}, {}, {}, {}, {}}));

TEST(Fusion, AnInputStageIsABoundaryRebuiltFromItsPrototype) {
  const Node input_stage = Node::stage(
      {7, 8}, {StageMember{"op|add", {{MemberTokenKind::Input, 1}, {MemberTokenKind::Input, 0}}}});
  const TermGraph graph{{src("x"), src("y"), Term{"stage-key", {1, 0}, true}, op("neg", {2})}, {3}};
  PrototypeTable prototypes;
  const Node x = source_node("x", {});
  const Node y = source_node("y", {});
  prototypes.add(graph.key_id(0), x);
  prototypes.add(graph.key_id(1), y);
  prototypes.add(graph.key_id(2), input_stage);
  for (const bool maximal : {false, true}) {
    const FusionResult result = fuse_and_emit(graph, prototypes, maximal);
    EXPECT_EQ(nodes_text(result.nodes),
              (std::vector<std::string>{"src|x", "src|y", "stage[1,0] op|add(i1,i0)",
                                        "stage[2] op|neg(i0)"}));
    EXPECT_EQ(result.stages, 1u);
    EXPECT_EQ(result.boundary_nodes, 3u);
  }
}

TEST(Fusion, BrokenInvariantsAreInternalErrors) {
  PrototypeTable prototypes;
  const TermGraph no_prototype{{src("x")}, {0}};
  EXPECT_THROW(fuse_and_emit(no_prototype, prototypes, false), InternalError);
  try {
    fuse_and_emit(no_prototype, prototypes, false);
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "no entry found for key: key 0 has no prototype");
  }
  const TermGraph forward_child{{op("neg", {1}), op("exp", {})}, {0}};
  EXPECT_THROW(fuse_and_emit(forward_child, prototypes, true), InternalError);
  const TermGraph bad_root{{op("exp", {})}, {1}};
  EXPECT_THROW(fuse_and_emit(bad_root, prototypes, false), InternalError);
}

}  // namespace
}  // namespace zembric
