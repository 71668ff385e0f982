// End-to-end cost of reduce_graph on an element-wise model graph, or of reducing a store read
// from a blob (as GraphStore.reduce() does).
//
// The generated graph mixes sources, externals, chains of unary and binary operators, commuted
// duplicates of add/mul/maximum (~10%), identity operators (~5%), reductions and dead nodes. Every
// measurement runs in a forked child so that its peak memory is its own: the child makes the
// graph, resets the peak-RSS mark (/proc/self/clear_refs), reduces, and reports the time per input
// node and the peak resident growth per input node. Each graph is reduced with a pass-through
// engine (the pipeline alone) and with the standard engine, whose own time is reported too, with
// the road it took (replay or e-graph); asking for the road replays once more, outside the
// engine's time but inside the reduction's.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "optimizer/reduction_pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/saturation_replay.h"
#include "store/blob_reader.h"
#include "store/reduced_store.h"
#include "store/store_core.h"

namespace {

using namespace zembric;
using Clock = std::chrono::steady_clock;

class PassThroughEngine final : public RewriteEngine {
 public:
  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override {
    if (placement != nullptr) {
      placement->resize(input.size());
      for (std::size_t i = 0; i < input.size(); ++i)
        (*placement)[i] = static_cast<TermIndex>(i);
    }
    return input;
  }
};

ParamMap scalar_side(double scalar, const char* side) {
  return ParamMap::from_unsorted(
      {{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}});
}

// The path a host's calls take: a plain node that takes over its operand list.
InputList one_input(NodeId id) {
  InputList list;
  list.push_back(id);
  return list;
}

struct Model {
  std::vector<Node> nodes;
  std::vector<NodeId> roots;
  // A graph read from a blob is reduced in its store, as GraphStore.reduce() does.
  std::unique_ptr<StoreCore> store;
};

Model make_model(std::size_t n, std::uint64_t seed) {
  static const char* const kUnary[] = {"neg", "exp", "tanh", "relu", "sqrt", "log"};
  static const char* const kBinary[] = {"add", "mul", "maximum", "sub", "div"};
  static const char* const kCommutative[] = {"add", "mul", "maximum"};
  // Appending sidesteps a false -Wrestrict alarm of g++ 12 on "literal" + std::string.
  auto numbered = [](const char* prefix, std::size_t k) {
    std::string text = prefix;
    text += std::to_string(k);
    return text;
  };
  std::mt19937_64 rng(seed);
  auto below = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng);
  };
  Model model;
  model.nodes.reserve(n);
  auto recent = [&]() -> NodeId {
    const std::size_t size = model.nodes.size();
    return size - 1 - below(std::min<std::size_t>(size, 64));
  };
  model.nodes.push_back(Node::plain(NodeKind::Source, "x0", {}, InputList()));
  while (model.nodes.size() < n) {
    const std::size_t size = model.nodes.size();
    const std::size_t pick = below(1000);
    if (pick < 20) {
      model.nodes.push_back(Node::plain(NodeKind::Source, numbered("x", size), {}, InputList()));
    } else if (pick < 30) {
      PayloadDescriptor d{"weights", numbered("h", size), "fw", "1", "f32", std::nullopt};
      model.nodes.push_back(Node::external(std::move(d), {}, {}));
    } else if (pick < 130 && size >= 2) {
      // A commuted pair: a binary operator and its mirror, both used later.
      const NodeId a = recent();
      NodeId b = recent();
      if (a == b) b = a == 0 ? 1 : a - 1;
      const char* name = kCommutative[below(3)];
      model.nodes.push_back(Node::op(name, {}, {a, b}));
      if (model.nodes.size() < n) model.nodes.push_back(Node::op(name, {}, {b, a}));
    } else if (pick < 180) {
      const bool add = below(2) == 0;
      model.nodes.push_back(Node::op(add ? "add" : "mul",
                                     scalar_side(add ? 0.0 : 1.0, below(2) == 0 ? "l" : "r"),
                                     {recent()}));
    } else if (pick < 200) {
      model.nodes.push_back(Node::plain(NodeKind::Reduction, "sum", {}, one_input(recent())));
    } else if (pick < 240) {
      // Dead: an operator nothing reads (later nodes read only their predecessors' window, and
      // the name keeps it out of every commuted pair).
      model.nodes.push_back(Node::op("dead_probe", {}, {recent()}));
    } else if (pick < 600) {
      model.nodes.push_back(Node::op(kUnary[below(6)], {}, {recent()}));
    } else {
      model.nodes.push_back(Node::op(kBinary[below(5)], {}, {recent(), recent()}));
    }
  }
  // Outputs: a reduction every 1000 nodes over the latest node, plus the last node.
  for (std::size_t k = 999; k < n; k += 1000)
    model.roots.push_back(k);
  model.roots.push_back(n - 1);
  return model;
}

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

// The standard engine, timed, and asked beforehand whether its replay vouches for the run (when it
// does not, the e-graph saturates under the runner's limits, the 5-second one included).
class TimedEngine final : public RewriteEngine {
 public:
  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override {
    const SaturationEngine& engine = SaturationEngine::standard();
    replayed = replay_saturation(input, engine.replayed_rules(), engine.iter_limit(),
                                 4 * input.size() + 1024)
                   .has_value();
    const auto start = Clock::now();
    TermGraph output = engine.run(input, placement);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    terms = input.size();
    return output;
  }
  mutable bool replayed = false;
  mutable double seconds = 0;
  mutable std::size_t terms = 0;
};

// A graph read from a blob whose outputs are its roots: the Python workloads, serialized.
Model read_model(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto store = read_blob(bytes);
  if (!store) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), store.error().message.c_str());
    std::exit(2);
  }
  Model model;
  model.store = std::move(store).value();
  return model;
}

void measure(Model model, bool saturate) {
  const std::size_t n = model.store ? model.store->node_count() : model.nodes.size();
  const TimedEngine saturation;
  const PassThroughEngine pass_through;
  const RewriteEngine& engine = saturate ? static_cast<const RewriteEngine&>(saturation)
                                         : static_cast<const RewriteEngine&>(pass_through);
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long rss_before = status_kib("VmRSS");
  const auto start = Clock::now();
  const ReductionReport report = model.store
                                     ? reduce_with_marks(*model.store, engine, false).report
                                     : reduce_graph(model.nodes, model.roots, engine, false).report;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long peak = status_kib("VmHWM");
  const ReductionReport& r = report;
  std::printf(
      "n=%-8zu %-10s %8.0f ns/node  %.3f s  peak +%.0f B/node  reachable %llu canonical %llu "
      "stages %llu boundary %llu\n",
      n, saturate ? "saturation" : "pass", seconds * 1e9 / static_cast<double>(n), seconds,
      static_cast<double>(peak - rss_before) * 1024.0 / static_cast<double>(n),
      static_cast<unsigned long long>(r.reachable_nodes),
      static_cast<unsigned long long>(r.canonical_nodes), static_cast<unsigned long long>(r.stages),
      static_cast<unsigned long long>(r.boundary_nodes));
  if (saturate) {
    std::printf(
        "           engine: %zu terms in %.3f s (%.0f ns/term), %s\n", saturation.terms,
        saturation.seconds,
        saturation.seconds * 1e9 / static_cast<double>(std::max<std::size_t>(1, saturation.terms)),
        saturation.replayed ? "replayed: ends saturated or at its iteration limit"
                            : "e-graph: under the runner's limits");
  }
  std::fflush(stdout);
}

}  // namespace

// reduce_graph_bench [SIZE... | --blob PATH...]: model graphs of the given sizes (default 10^4,
// 10^5, 10^6), or graphs read from blobs, each reduced in a child of its own.
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool blobs = !args.empty() && args[0] == "--blob";
  if (blobs) args.erase(args.begin());
  if (args.empty() && !blobs) args = {"10000", "100000", "1000000"};
  for (const std::string& arg : args) {
    if (!blobs && (arg.empty() || arg.find_first_not_of("0123456789") != std::string::npos)) {
      std::fprintf(stderr, "usage: reduce_graph_bench [SIZE... | --blob PATH...]\n");
      return 2;
    }
  }
  for (const std::string& arg : args) {
    for (const bool saturate : {false, true}) {
      const pid_t child = fork();
      if (child == 0) {
        const std::size_t n = blobs ? 0 : std::stoul(arg);
        measure(blobs ? read_model(arg) : make_model(n, 0xbe7c4 + n), saturate);
        _exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
    }
  }
}
