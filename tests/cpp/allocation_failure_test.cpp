// Every operation, failed at each of its allocations in turn, must leave its object as it was and
// working: the next call behaves exactly as it would have without the failure.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "egraph/symbol.h"
#include "failing_allocator.h"
#include "node_factories.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/saturation_engine.h"
#include "store/blob_reader.h"
#include "store/blob_writer.h"
#include "store/dot_renderer.h"
#include "store/store_core.h"

namespace zembric {
namespace {

using testing_support::for_each_allocation_failure;

ParamMap scalar_side(double scalar, const char* side) {
  return ParamMap::from_unsorted(
      {{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}});
}

// Commuted pairs, identities, a long name, a reduction, an external and an exchange: every path
// of interning, reduction and consumption that allocates.
std::vector<Node> rich_nodes() {
  PayloadDescriptor d{"kernel", "c0ffee", "torch", "2", "(f32)->f32", std::string("pre")};
  return {source_node("x", {}),
          source_node(std::string(100, 'y'), {}),
          Node::op("add", {}, {0, 1}),
          Node::op("add", {}, {1, 0}),
          Node::op("mul", scalar_side(1.0, "l"), {3}),
          Node::op("maximum", {}, {2, 4}),
          Node::op("exp", {}, {5}),
          reduction_node("sum", ParamMap::from_unsorted({{"axis", ParamValue::of_int(-1)}}), {6}),
          Node::external(d, {}, {7, 5}),
          exchange_node({}, {8}),
          Node::op("concat", {}, {0, 1, 2, 3, 4, 5, 6, 0, 1})};
}

std::unique_ptr<StoreCore> store_of(const std::vector<Node>& nodes, std::vector<NodeId> marks) {
  auto store = std::make_unique<StoreCore>();
  for (Node node : nodes)
    store->intern(std::move(node)).value();
  for (NodeId id : marks)
    EXPECT_FALSE(store->mark_output(id));
  return store;
}

std::string blob_of(StoreCore& store) {
  return store.read([](std::span<const Node> nodes, std::span<const NodeId> outputs) {
    return write_blob(nodes, outputs).value();
  });
}

std::string reduced_blob(const ReducedStore& reduced) {
  return blob_of(*reduced.store);
}

// A copy whose input array fails to allocate must count no owner of the shared fields: the leak
// checker then finds the blocks freed with the original.
TEST(AllocationFailure, FailedNodeCopiesHoldNoSharedBlock) {
  const std::vector<NodeId> wide{0, 1, 2, 3, 4, 5, 6, 7};
  const PayloadDescriptor d{"kernel", "c0ffee", "torch", "2", "(f32)->f32", std::nullopt};
  const std::vector<Node> originals{
      Node::external(d, {}, wide),
      Node::stage(wide, {StageMember{"op|neg", {{MemberTokenKind::Input, 0}}}})};
  for (const Node& original : originals) {
    const std::size_t points = for_each_allocation_failure(
        [&] {
          const Node copy = original;
          const Node renumbered =
              original.with_inputs(std::vector<NodeId>(wide.rbegin(), wide.rend()));
          EXPECT_EQ(copy, original);
        },
        [&] { EXPECT_EQ(Node(original), original); });
    EXPECT_GE(points, 2u);
  }
}

TEST(AllocationFailure, StoreOperationsLeaveTheStoreUnchanged) {
  const std::vector<Node> nodes = rich_nodes();
  auto store = store_of({nodes.begin(), nodes.end() - 1}, {6, 2});
  const std::string before = blob_of(*store);
  const SaturationEngine engine;
  auto unchanged = [&] { EXPECT_EQ(blob_of(*store), before); };

  std::vector<std::function<void()>> reads = {
      [&] { store->snapshot(); },
      [&] { store->nodes_since(3); },
      [&] { store->marks(); },
      [&] { store->read([](auto n, auto o) { return render_dot(n, o); }); },
      [&] { blob_of(*store); },
      [&] { reduce_with_marks(*store, engine, true); },
      [&] {
        reduce_with_outputs(*store, std::vector<NodeId>{8, 3}, engine, false).value();
      },
      [&] { reduce_with_marks(*store, engine, false, true); },
  };
  for (auto& read : reads)
    EXPECT_GT(for_each_allocation_failure(read, unchanged), 0u);

  // Mutations: a failed one changes nothing; the one that succeeds changes what it should.
  for_each_allocation_failure([&] { store->intern(Node(nodes.back())).value(); }, unchanged);
  EXPECT_EQ(store->node_count(), nodes.size());
  const std::string grown = blob_of(*store);
  for_each_allocation_failure([&] { EXPECT_FALSE(store->mark_output(10)); },
                              [&] { EXPECT_EQ(blob_of(*store), grown); });
  EXPECT_EQ(store->marks(), (std::vector<NodeId>{6, 2, 10}));
  EXPECT_EQ(blob_of(*store), blob_of(*store_of(nodes, {6, 2, 10})));
}

TEST(AllocationFailure, ReducedStoresMatchARunWithoutFailures) {
  auto store = store_of(rich_nodes(), {9, 10});
  const SaturationEngine engine;
  const std::string expected = reduced_blob(reduce_with_marks(*store, engine, false));
  std::string got;
  for_each_allocation_failure([&] { got = reduced_blob(reduce_with_marks(*store, engine, false)); },
                              [] {});
  EXPECT_EQ(got, expected);
  for_each_allocation_failure([&] { got = blob_of(*read_blob(blob_of(*store)).value()); }, [] {});
  EXPECT_EQ(got, blob_of(*store));
}

struct ReducerView {
  std::uint64_t watermark, total, canonical;
  friend bool operator==(const ReducerView&, const ReducerView&) = default;
};

ReducerView view(IncrementalReducer& reducer) {
  return {reducer.watermark(), reducer.total_work(), reducer.canonical_count()};
}

TEST(AllocationFailure, ReducerStepAndFinalizeRollBack) {
  const std::vector<Node> nodes = rich_nodes();
  auto store = store_of({nodes.begin(), nodes.begin() + 4}, {3});
  IncrementalReducer reducer;
  reducer.step(*store).value();
  for (std::size_t k = 4; k < nodes.size(); ++k)
    store->intern(Node(nodes[k])).value();
  EXPECT_FALSE(store->mark_output(10));

  IncrementalReducer reference;
  const std::string expected =
      reduced_blob(reference.finalize(*store, std::nullopt, false).value());

  const ReducerView before = view(reducer);
  auto unchanged = [&] { EXPECT_EQ(view(reducer), before); };
  std::optional<ReducedStore> got;
  EXPECT_GT(
      for_each_allocation_failure(
          [&] { got.emplace(reducer.finalize(*store, std::nullopt, false).value()); }, unchanged),
      0u);
  EXPECT_EQ(reduced_blob(*got), expected);
  EXPECT_EQ(view(reducer), view(reference));
  // A mapped finalize over nothing new: failures leave the consumed state as it is.
  const ReducerView finalized = view(reducer);
  for_each_allocation_failure(
      [&] { got.emplace(reducer.finalize(*store, std::nullopt, true, true).value()); },
      [&] { EXPECT_EQ(view(reducer), finalized); });
  EXPECT_TRUE(got->map.has_value());

  // A step that fails part-way through its delta takes back the nodes it had consumed.
  IncrementalReducer stepped;
  stepped.step(*store_of({nodes.begin(), nodes.begin() + 2}, {})).value();
  const ReducerView start = view(stepped);
  EXPECT_GT(for_each_allocation_failure([&] { stepped.step(*store).value(); },
                                        [&] { EXPECT_EQ(view(stepped), start); }),
            0u);
  EXPECT_EQ(view(stepped), view(reference));
  EXPECT_EQ(reduced_blob(stepped.finalize(*store, std::nullopt, false).value()), expected);
}

TEST(AllocationFailure, SymbolInterningRecovers) {
  const std::string text = "a text interned for the first time under failing allocations";
  egraph::Symbol symbol = 0;
  for_each_allocation_failure([&] { symbol = egraph::intern_symbol(text); }, [] {});
  EXPECT_EQ(egraph::symbol_text(symbol), text);
  EXPECT_EQ(egraph::intern_symbol(text), symbol);
  EXPECT_EQ(egraph::intern_symbol("another text"), egraph::intern_symbol("another text"));
}

}  // namespace
}  // namespace zembric
