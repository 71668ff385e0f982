// Saturation of a realistic operator mix with the engine's twelve rules.
//
// For each size the program reports, per input term, the time of loading the e-graph alone (the
// baseline), of saturation as the engine does it (split into search, apply and rebuild; the
// first rebuild after loading counts outside the iterations), and of the engine's full run
// (with read-back), the ratio of the full run to the baseline, and the runner's iterations and
// stop reason, and a checksum of the engine's output.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/saturation_runner.h"
#include "egraph/symbol.h"
#include "optimizer/saturation_engine.h"

namespace {

using zembric::Term;
using zembric::TermGraph;
using zembric::TermIndex;
using Clock = std::chrono::steady_clock;

// Sources (10%), commutative binaries (30%, half of them followed by their mirror), identities
// (10%) and plain unary and binary operators, each reading recent terms.
TermGraph make_graph(std::size_t n, std::uint64_t seed) {
  static const char* const kCommutative[] = {"add", "mul", "and",     "or",
                                             "eq",  "ne",  "maximum", "minimum"};
  static const char* const kIdentity[] = {
      "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
      "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  static const char* const kPlainUnary[] = {"op|neg", "op|exp", "op|log", "op|tanh"};
  static const char* const kPlainBinary[] = {"op|sub", "op|div", "op|pow"};

  std::mt19937_64 rng(seed);
  auto below = [&](std::size_t bound) {
    return static_cast<std::size_t>(std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng));
  };
  // Operands come mostly from the last few hundred terms, as in a real dataflow graph.
  auto operand = [&](std::size_t limit) {
    const std::size_t window = std::min<std::size_t>(limit, 256);
    return static_cast<TermIndex>(limit - 1 - below(window));
  };

  std::vector<Term> terms;
  std::vector<TermIndex> roots;
  terms.reserve(n);
  terms.push_back({"src|name=s0", {}, true});
  while (terms.size() < n) {
    const std::size_t size = terms.size();
    const std::size_t pick = below(100);
    if (pick < 10) {
      terms.push_back({"src|name=s" + std::to_string(size), {}, true});
    } else if (pick < 40) {
      const std::string key = std::string("op|") + kCommutative[below(8)];
      const TermIndex a = operand(size);
      const TermIndex b = operand(size);
      terms.push_back({key, {a, b}, false});
      if (pick < 25 && terms.size() < n) terms.push_back({key, {b, a}, false});
    } else if (pick < 50) {
      terms.push_back({kIdentity[below(4)], {operand(size)}, false});
    } else if (pick < 75) {
      terms.push_back({kPlainUnary[below(4)], {operand(size)}, false});
    } else {
      terms.push_back({kPlainBinary[below(3)], {operand(size), operand(size)}, false});
    }
  }
  for (std::size_t k = n - std::min<std::size_t>(n, 64); k < n; ++k)
    roots.push_back(static_cast<TermIndex>(k));
  return TermGraph(terms, std::move(roots));
}

zembric::egraph::EGraph load(const TermGraph& graph) {
  using namespace zembric::egraph;
  EGraph egraph;
  egraph.reserve(graph.size());
  std::vector<ClassId> class_of(graph.size());
  std::vector<ClassId> children;
  for (TermIndex i = 0; i < graph.size(); ++i) {
    children.clear();
    for (const TermIndex c : graph.children(i))
      children.push_back(class_of[c]);
    class_of[i] = egraph.find(egraph.add_node(ENode(intern_symbol(graph.key(i)), children)));
  }
  return egraph;
}

// FNV-1a over the output graph: equal checksums across builds show equal results.
std::uint64_t checksum(const TermGraph& graph) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  auto add = [&h](std::uint64_t value) {
    for (int k = 0; k < 8; ++k) {
      h ^= (value >> (8 * k)) & 0xff;
      h *= 0x100000001b3ULL;
    }
  };
  for (const zembric::Term& term : graph.terms()) {
    for (const char c : term.key)
      add(static_cast<unsigned char>(c));
    add(term.children.size());
    for (const TermIndex c : term.children)
      add(c);
    add(term.is_boundary);
  }
  for (const TermIndex r : graph.roots)
    add(r);
  return h;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void bench(std::size_t n) {
  const TermGraph graph = make_graph(n, 0x5eed + n);
  const zembric::SaturationEngine engine;

  auto start = Clock::now();
  const zembric::egraph::EGraph loaded = load(graph);
  const double load_seconds = seconds_since(start);

  zembric::egraph::EGraph to_saturate = load(graph);
  start = Clock::now();
  zembric::egraph::SaturationRunner runner;
  runner.with_egraph(std::move(to_saturate))
      .with_iter_limit(engine.iter_limit())
      .with_node_limit(4 * n + 1024)
      .run(engine.rules());
  const double saturate_seconds = seconds_since(start);

  start = Clock::now();
  const TermGraph output = engine.run(graph, nullptr);
  const double engine_seconds = seconds_since(start);

  const double per_term = 1e9 / static_cast<double>(n);
  double search = 0;
  double apply = 0;
  double rebuild = 0;
  for (const auto& record : runner.iterations()) {
    search += record.search_seconds;
    apply += record.apply_seconds;
    rebuild += record.rebuild_seconds;
  }
  std::printf(
      "n=%zu: load %.0f ns/term, saturate %.0f ns/term (search %.0f, apply %.0f, rebuild %.0f), "
      "engine.run %.0f ns/term "
      "(%.2fx load, %.3f s); iterations %zu, stop %s; total size %zu -> %zu, classes %zu -> %zu, "
      "output terms %zu, checksum %016llx\n",
      n, load_seconds * per_term, saturate_seconds * per_term, search * per_term, apply * per_term,
      rebuild * per_term, engine_seconds * per_term, engine_seconds / load_seconds, engine_seconds,
      runner.iterations().size(), runner.stop_reason()->to_string().c_str(), loaded.total_size(),
      runner.egraph().total_size(), loaded.class_count(), runner.egraph().class_count(),
      output.size(), static_cast<unsigned long long>(checksum(output)));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes = {100'000, 1'000'000};
  if (argc > 1) {
    sizes.clear();
    for (int k = 1; k < argc; ++k)
      sizes.push_back(std::stoul(argv[k]));
  }
  for (const std::size_t n : sizes)
    bench(n);
}
