// Blob and DOT throughput on a realistic graph of 10^6 nodes. Each figure is the best of several
// runs and is set against a baseline measured in the same process: serializing against copying
// the node list, deserializing against interning the same nodes into a fresh store directly.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/blob_reader.h"
#include "store/blob_writer.h"
#include "store/dot_renderer.h"
#include "store/reduced_store.h"
#include "store/store_core.h"

namespace {

using namespace zembric;

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

// The path a host's calls take: a plain node that takes over its operand list.
InputList one_input(NodeId id) {
  InputList list;
  list.push_back(id);
  return list;
}

// A mix like a compiled model's graph: mostly element-wise ops over recent nodes, some with
// params, plus reductions, exchanges, externals, stages and a few sources.
StoreSnapshot realistic_graph(std::size_t target) {
  static const char* const kOps[] = {"add", "mul", "sub", "neg", "exp", "relu", "tanh", "div"};
  std::mt19937_64 random(12345);
  StoreCore store;
  auto recent = [&](NodeId count) {
    const NodeId window = std::min<NodeId>(count, 64);
    return count - 1 - random() % window;
  };
  while (store.node_count() < target) {
    const NodeId count = store.node_count();
    const unsigned pick = count < 16 ? 0 : static_cast<unsigned>(random() % 100);
    Expected<NodeId, BadNodeId> id = BadNodeId{0};
    if (pick < 1) {
      id = store.intern(Node::plain(
          NodeKind::Source, "input_" + std::to_string(count),
          params({{"shape", ParamValue::of_str("f32[" + std::to_string(random() % 4096) + "]")}}),
          InputList()));
    } else if (pick < 71) {
      const char* name = kOps[random() % 8];
      ParamMap p;
      if (random() % 10 < 3) {
        p = params({{"alpha", ParamValue::of_float(static_cast<double>(random() % 1000) / 7)},
                    {"mode", ParamValue::of_int(static_cast<std::int64_t>(random() % 4))}});
      }
      std::vector<NodeId> inputs = {recent(count)};
      if (random() % 2) inputs.push_back(recent(count));
      id = store.intern(Node::op(name, std::move(p), std::move(inputs)));
    } else if (pick < 81) {
      id = store.intern(
          Node::plain(NodeKind::Reduction, "sum",
                      params({{"axis", ParamValue::of_int(static_cast<std::int64_t>(random() % 3))},
                              {"keepdims", ParamValue::of_bool(random() % 2)}}),
                      one_input(recent(count))));
    } else if (pick < 90) {
      id = store.intern(Node::plain(NodeKind::Exchange, {},
                                    params({{"scheme", ParamValue::of_str("hash")}}),
                                    one_input(recent(count))));
    } else if (pick < 95) {
      id = store.intern(Node::external({"onnx", "sha256:" + std::to_string(random()), "torch",
                                        "2.1", "f32[n]->f32[n]", std::nullopt},
                                       {}, {recent(count), recent(count)}));
    } else {
      std::vector<StageMember> members = {
          {"op|neg|", {{MemberTokenKind::Input, 0}}},
          {"op|mul|alpha=f3ff0000000000000",
           {{MemberTokenKind::Member, 0}, {MemberTokenKind::Input, 1}}},
          {"op|exp|", {{MemberTokenKind::Member, 1}}}};
      id = store.intern(Node::stage({recent(count), recent(count)}, std::move(members)));
    }
    if (!id) std::abort();
  }
  for (NodeId i = target - 10; i < target; ++i) {
    if (store.mark_output(i)) std::abort();
  }
  return store.snapshot();
}

// Processor time of the process, which is single-threaded: on a busy machine it leaves out the
// time spent waiting for a core. The result of `work` is destroyed after the clock stops: freeing
// a store is not part of building it.
template <class Work>
double best_seconds(int runs, Work&& work) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const std::clock_t start = std::clock();
    auto result = work();
    const std::clock_t stop = std::clock();
    best = std::min(best, static_cast<double>(stop - start) / CLOCKS_PER_SEC);
  }
  return best;
}

// As best_seconds, for work that consumes a fresh input: `setup` makes it before the clock starts.
template <class Setup, class Work>
double best_seconds_from(int runs, Setup&& setup, Work&& work) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto input = setup();
    const std::clock_t start = std::clock();
    auto result = work(std::move(input));
    const std::clock_t stop = std::clock();
    best = std::min(best, static_cast<double>(stop - start) / CLOCKS_PER_SEC);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int runs = 5;
  const StoreSnapshot graph = realistic_graph(count);
  const auto blob = write_blob(graph.nodes, graph.marks);
  if (!blob) std::abort();
  const double megabytes = static_cast<double>(blob.value().size()) / 1e6;
  const double nodes = static_cast<double>(graph.nodes.size());
  std::printf("graph: %zu nodes, blob %.1f MB (%.1f bytes per node)\n", graph.nodes.size(),
              megabytes, megabytes * 1e6 / nodes);

  const double copy =
      best_seconds(runs, [&] { return std::vector<Node>(graph.nodes.begin(), graph.nodes.end()); });
  const double write = best_seconds(runs, [&] { return write_blob(graph.nodes, graph.marks); });
  const double intern = best_seconds(runs, [&] {
    auto store = std::make_unique<StoreCore>();
    for (const Node& node : graph.nodes) {
      if (!store->intern(Node(node))) std::abort();
    }
    return store;
  });
  const double read = best_seconds(runs, [&] {
    auto store = read_blob(blob.value());
    if (!store) std::abort();
    return store;
  });
  // Building a reduced store takes its node list over; the list is copied before the clock runs.
  const double build = best_seconds_from(
      runs, [&] { return std::vector<Node>(graph.nodes.begin(), graph.nodes.end()); },
      [&](std::vector<Node> nodes) { return from_reduced(std::move(nodes), graph.marks); });
  const double render = best_seconds(runs, [&] { return render_dot(graph.nodes, graph.marks); });

  std::printf("serialize:   %8.1f ms  %7.0f MB/s  %5.2f M nodes/s  (%.2fx the node-list copy)\n",
              write * 1e3, megabytes / write, nodes / write / 1e6, write / copy);
  std::printf("deserialize: %8.1f ms  %7.0f MB/s  %5.2f M nodes/s  (%.2fx interning the nodes)\n",
              read * 1e3, megabytes / read, nodes / read / 1e6, read / intern);
  std::printf("from_reduced: %7.1f ms  %5.2f M nodes/s  (%.2fx interning the nodes)\n", build * 1e3,
              nodes / build / 1e6, build / intern);
  std::printf("to_dot:      %8.1f ms  %5.2f M nodes/s\n", render * 1e3, nodes / render / 1e6);
  return 0;
}
