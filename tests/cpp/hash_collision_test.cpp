// Every hash table of the road, forced to collide, must give exactly the results it gives with
// real hashes: interning, key tables, the e-graph, hash-consing and the incremental reducer then
// decide everything by their equality checks.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "egraph/flat_hash_map.h"
#include "node_factories.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/saturation_engine.h"
#include "store/blob_reader.h"
#include "store/blob_writer.h"
#include "store/store_core.h"
#include "support/flat_id_index.h"

namespace zembric {
namespace {

// A random graph over commuted pairs, identities, look-alike params and every kind, as a node
// list whose inputs are positions, plus a few roots.
struct RandomGraph {
  std::vector<Node> nodes;
  std::vector<NodeId> roots;
};

RandomGraph random_graph(unsigned seed, std::size_t size) {
  std::mt19937 random(seed);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  auto earlier = [&](std::size_t i, std::size_t count) {
    std::vector<NodeId> inputs;
    for (std::size_t k = 0; k < count; ++k)
      inputs.push_back(pick(i));
    return inputs;
  };
  auto params = [&](std::vector<ParamEntry> entries) {
    return ParamMap::from_unsorted(std::move(entries));
  };
  const char* commutative[] = {"add", "mul", "maximum", "eq"};
  const char* plain[] = {"neg", "exp", "sub"};
  RandomGraph graph;
  for (std::size_t i = 0; i < size; ++i) {
    const ParamMap k = pick(3) == 0 ? params({{"k", ParamValue::of_int(1)}}) : ParamMap{};
    switch (i < 3 ? 0 : pick(7)) {
      case 0:
        graph.nodes.push_back(source_node(std::string(1, "xyz"[pick(3)]), k));
        break;
      case 1:
        graph.nodes.push_back(Node::op(commutative[pick(4)], k, earlier(i, 2)));
        break;
      case 2:
        graph.nodes.push_back(Node::op(plain[pick(3)], k, earlier(i, 1 + pick(3))));
        break;
      case 3: {
        const bool add = pick(2) == 0;
        const ParamValue scalar =
            pick(4) == 0 ? ParamValue::of_int(add ? 0 : 1) : ParamValue::of_float(add ? 0.0 : 1.0);
        graph.nodes.push_back(Node::op(
            add ? "add" : "mul",
            params({{"scalar", scalar}, {"side", ParamValue::of_str(pick(2) ? "r" : "l")}}),
            earlier(i, pick(5) == 0 ? 2 : 1)));
        break;
      }
      case 4:
        graph.nodes.push_back(reduction_node("sum", k, earlier(i, 1)));
        break;
      case 5:
        graph.nodes.push_back(
            Node::external(PayloadDescriptor{"k", pick(2) ? "a" : "b", "f", "v", "s", std::nullopt},
                           {}, earlier(i, pick(3))));
        break;
      default:
        graph.nodes.push_back(exchange_node(k, earlier(i, 1)));
    }
  }
  graph.roots = earlier(size, 4);
  return graph;
}

std::string blob_of(StoreCore& store) {
  return store.read([](std::span<const Node> nodes, std::span<const NodeId> outputs) {
    return write_blob(nodes, outputs).value();
  });
}

// Everything the road gives for one graph: the store, its reductions and the incremental one.
std::vector<std::string> results(const RandomGraph& graph) {
  StoreCore store;
  std::vector<NodeId> id_of;
  for (const Node& node : graph.nodes) {
    std::vector<NodeId> inputs;
    for (const NodeId input : node.inputs())
      inputs.push_back(id_of[input]);
    id_of.push_back(store.intern(node.with_inputs(std::move(inputs))).value());
  }
  std::vector<NodeId> roots;
  for (const NodeId root : graph.roots)
    roots.push_back(id_of[root]);

  const SaturationEngine engine;
  std::vector<std::string> out = {blob_of(store)};
  for (const bool maximal : {false, true}) {
    out.push_back(blob_of(*reduce_with_outputs(store, roots, engine, maximal).value().store));
  }
  IncrementalReducer reducer;
  out.push_back(blob_of(*reducer.finalize(store, roots, false).value().store));
  out.push_back(blob_of(*read_blob(out.front()).value()));
  return out;
}

class ForcedCollisions {
 public:
  ForcedCollisions() {
    FlatIdIndex::collision_mask_for_testing = 0x3;
    egraph::flat_hash_collision_mask_for_testing = 0x3;
  }
  ~ForcedCollisions() {
    FlatIdIndex::collision_mask_for_testing = ~std::uint32_t{0};
    egraph::flat_hash_collision_mask_for_testing = ~std::uint64_t{0};
  }
};

TEST(HashCollisions, ChangeNoResult) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    const RandomGraph graph = random_graph(seed, 250);
    const std::vector<std::string> expected = results(graph);
    ForcedCollisions collide;
    EXPECT_EQ(results(graph), expected) << "seed " << seed;
  }
}

}  // namespace
}  // namespace zembric
