// Reads arbitrary bytes as a blob and takes the store down the whole road: snapshot, DOT rendering,
// reduction against the marks and against roots drawn from the input (with and without maximal
// fusion), the incremental reducer fed in steps, and the blob writer. Any exception that escapes
// (an InternalError above all) crashes the run, as does a broken promise:
// - DOT has one vertex per node in id order, a double circle exactly on the marks, one edge per
//   input entry, and labels that cannot break out of their quotes;
// - a reduced store writes to a blob that reads and writes back to the same bytes, holds no Op,
//   counts its nodes as its report does, and reduces again to itself without a stage;
// - reduce_graph gives one output per root; the store built from it is reduce_with_outputs'
//   result and marks each distinct output once, in order;
// - reducing against roots, against the same roots marked in a blob, and (for the marks) against
//   the marks as roots, all agree;
// - an id past the end is a BadNodeId naming it, and leaves the incremental reducer as it was;
// - the incremental reducer gives the same result however the store was split into steps, the
//   same on a repeated finalize, one output per root before the store is built, and the result of
//   reduce_with_outputs when no node is one the rewrites act on (a commutative or identity
//   operator).
// Blobs above kMaxNodes are skipped, so that no saturation run gets near its time limit, the one
// limit that would make a result depend on the clock.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "optimizer/incremental_reducer.h"
#include "optimizer/reducer_state.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/rewrite_rules.h"
#include "optimizer/saturation_engine.h"
#include "store/blob_reader.h"
#include "store/blob_writer.h"
#include "store/dot_renderer.h"
#include "store/store_core.h"

namespace {

using namespace zembric;

constexpr std::size_t kMaxNodes = 2000;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "graph_road_fuzz: %s\n", what);
  std::abort();
}

void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Parameters of the run drawn from the input's last bytes, where a blob may carry trailing bytes
// that the reader ignores; an input too short to hold them reads zeros.
class Control {
 public:
  explicit Control(std::string_view input)
      : tail_(input.substr(input.size() - std::min<std::size_t>(input.size(), 16))) {}

  std::uint32_t next() {
    if (tail_.empty()) return 0;
    const auto low = static_cast<unsigned char>(tail_[at_++ % tail_.size()]);
    const auto high = static_cast<unsigned char>(tail_[at_++ % tail_.size()]);
    return low | (std::uint32_t{high} << 8);
  }

 private:
  std::string_view tail_;
  std::size_t at_ = 0;
};

std::string write_or_die(std::span<const Node> nodes, std::span<const NodeId> outputs) {
  auto blob = write_blob(nodes, outputs);
  if (!blob) fail("a store cannot be written");
  return std::move(blob).value();
}

std::string serialize(StoreCore& store) {
  const StoreSnapshot snapshot = store.snapshot();
  return write_or_die(snapshot.nodes, snapshot.marks);
}

std::unique_ptr<StoreCore> read_or_die(std::string_view blob) {
  auto store = read_blob(blob);
  if (!store) fail("a written blob does not read back");
  return std::move(store).value();
}

std::vector<NodeId> distinct(std::span<const NodeId> ids) {
  std::vector<NodeId> out;
  for (const NodeId id : ids) {
    if (std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
  }
  return out;
}

bool consume(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

bool consume_id(std::string_view& text, NodeId id) {
  return consume(text, "n") && consume(text, std::to_string(id));
}

// Reads the rendering back statement by statement against what the nodes and marks demand.
void check_dot(std::span<const Node> nodes, std::span<const NodeId> outputs) {
  const std::string dot = render_dot(nodes, outputs);
  std::string_view text = dot;
  require(consume(text, "digraph zembric {\n"), "DOT header");
  for (NodeId id = 0; id < nodes.size(); ++id) {
    require(consume(text, "  ") && consume_id(text, id) && consume(text, " [label=\""),
            "DOT vertex out of order");
    std::size_t end = 0;
    while (end < text.size() && text[end] != '"')
      end += text[end] == '\\' ? 2 : 1;
    require(end < text.size(), "DOT label runs to the end");
    text.remove_prefix(end + 1);
    const bool marked = std::find(outputs.begin(), outputs.end(), id) != outputs.end();
    require(consume(text, ", shape=doublecircle") == marked, "DOT double circle off the marks");
    require(consume(text, "];\n"), "DOT vertex not closed after its label");
  }
  for (NodeId id = 0; id < nodes.size(); ++id) {
    for (const NodeId input : nodes[id].inputs()) {
      require(consume(text, "  ") && consume_id(text, input) && consume(text, " -> ") &&
                  consume_id(text, id) && consume(text, ";\n"),
              "DOT edges differ from the inputs");
    }
  }
  require(text == "}\n", "DOT trailer");
}

// The promises every reduced store keeps; returns its blob.
std::string check_reduced(const ReducedStore& reduced, std::uint64_t input_nodes,
                          const SaturationEngine& engine) {
  StoreCore& store = *reduced.store;
  const StoreSnapshot snapshot = store.snapshot();
  const std::string blob = write_or_die(snapshot.nodes, snapshot.marks);
  const std::unique_ptr<StoreCore> reread = read_or_die(blob);
  require(serialize(*reread) == blob, "a reduced store's blob is not a fixed point");

  const ReductionReport& report = reduced.report;
  require(report.input_nodes == input_nodes, "report input_nodes");
  require(report.reduced_nodes == report.stages + report.boundary_nodes &&
              report.reduced_nodes == snapshot.nodes.size(),
          "report reduced_nodes");
  require(report.reachable_nodes >= report.canonical_nodes &&
              report.canonical_nodes >= report.boundary_nodes,
          "report counts out of order");
  for (const Node& node : snapshot.nodes)
    require(node.kind() != NodeKind::Op, "an Op survives reduction");
  check_dot(snapshot.nodes, snapshot.marks);

  const ReducedStore again = reduce_with_marks(store, engine, false);
  require(again.report.stages == 0, "a reduced store fuses again");
  require(serialize(*again.store) == blob, "a reduced store does not reduce to itself");
  return blob;
}

void require_same(const ReducedStore& a, const ReducedStore& b, const char* what) {
  require(serialize(*a.store) == serialize(*b.store) && a.report == b.report, what);
}

ReducedStore finalize_or_die(IncrementalReducer& reducer, StoreCore& store,
                             const std::optional<std::vector<NodeId>>& outputs, bool maximal) {
  auto reduced = reducer.finalize(store, outputs, maximal);
  if (!reduced) fail("finalize refuses ids of the store");
  return std::move(reduced).value();
}

struct Counters {
  std::uint64_t watermark, total_work, canonical_count;
  friend bool operator==(const Counters&, const Counters&) = default;
};

Counters counters(IncrementalReducer& reducer) {
  return {reducer.watermark(), reducer.total_work(), reducer.canonical_count()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto read = read_blob(input);
  if (!read) return 0;
  StoreCore& store = *read.value();
  const StoreSnapshot snapshot = store.snapshot();
  const std::uint64_t n = snapshot.nodes.size();
  if (n > kMaxNodes) return 0;
  check_dot(snapshot.nodes, snapshot.marks);

  Control control(input);
  std::vector<NodeId> roots(control.next() % 5);
  for (NodeId& root : roots)
    root = n == 0 ? 0 : control.next() % n;
  if (n == 0) roots.clear();
  const NodeId bad_id = n + control.next() % 3;
  std::vector<NodeId> with_bad = roots;
  with_bad.insert(with_bad.begin() + control.next() % (with_bad.size() + 1), bad_id);
  std::vector<std::uint64_t> cuts(control.next() % 4);
  for (std::uint64_t& cut : cuts)
    cut = control.next() % (n + 1);
  std::sort(cuts.begin(), cuts.end());

  // The same store fed to a reducer in steps, the nodes after the last cut left to finalize.
  StoreCore fed;
  IncrementalReducer stepped;
  std::uint64_t done = 0;
  for (const std::uint64_t cut : cuts) {
    for (; done < cut; ++done) {
      auto id = fed.intern(Node(snapshot.nodes[done]));
      require(id && id.value() == done, "a store's nodes intern elsewhere in a new store");
    }
    const std::uint64_t before = stepped.watermark();
    auto consumed = stepped.step(fed);
    require(consumed && consumed.value() == cut - before, "a step consumes other than its delta");
    require(stepped.watermark() == cut && stepped.total_work() == cut, "step counters");
  }
  for (; done < n; ++done) {
    auto id = fed.intern(Node(snapshot.nodes[done]));
    require(id && id.value() == done, "a store's nodes intern elsewhere in a new store");
  }
  for (const NodeId mark : snapshot.marks)
    require(!fed.mark_output(mark), "a store's own mark is refused");
  require(serialize(fed) == serialize(store), "the store rebuilt node by node differs");

  IncrementalReducer once;
  auto whole = once.step(store);
  require(whole && whole.value() == n, "one step consumes the whole store");
  ReducerState state;
  require(state.consume(snapshot.nodes).has_value(), "the reducer state refuses a store's nodes");

  const bool rewrites_act = std::any_of(
      snapshot.nodes.begin(), snapshot.nodes.end(),
      [](const Node& node) { return has_identity_key(node) || has_commutative_name(node); });

  const SaturationEngine engine;
  for (const bool maximal : {false, true}) {
    // Against the marks, and against the same ids given as roots.
    const ReducedStore by_marks = reduce_with_marks(store, engine, maximal);
    check_reduced(by_marks, n, engine);
    auto by_mark_ids = reduce_with_outputs(store, snapshot.marks, engine, maximal);
    require(by_mark_ids.has_value(), "reduce refuses the store's own marks");
    require_same(by_marks, by_mark_ids.value(), "marks and the same ids as roots differ");

    // Against roots drawn from the input.
    ReducedGraph graph = reduce_graph(snapshot.nodes, roots, engine, maximal);
    require(graph.outputs.size() == roots.size(), "not one reduced output per root");
    const std::vector<NodeId> expected_marks = distinct(graph.outputs);
    auto by_roots_or_error = reduce_with_outputs(store, roots, engine, maximal);
    require(by_roots_or_error.has_value(), "reduce refuses ids of the store");
    const ReducedStore& by_roots = by_roots_or_error.value();
    require_same(from_reduced(std::move(graph)), by_roots, "reduce_graph and reduce differ");
    require(by_roots.store->marks() == expected_marks, "reduced marks are not the outputs");
    const std::string reduced_blob = check_reduced(by_roots, n, engine);

    const std::unique_ptr<StoreCore> marked = read_or_die(write_or_die(snapshot.nodes, roots));
    require_same(reduce_with_marks(*marked, engine, maximal), by_roots,
                 "roots marked in a blob reduce otherwise");

    auto refused = reduce_with_outputs(store, with_bad, engine, maximal);
    require(!refused && refused.error().id == bad_id, "reduce accepts an id past the end");

    // The incremental reducer, fed in steps and at once.
    const ReducedStore stepped_roots = finalize_or_die(stepped, fed, roots, maximal);
    require(counters(stepped) == counters(once), "steps change the reducer's counters");
    const ReducedStore once_roots = finalize_or_die(once, store, roots, maximal);
    require_same(stepped_roots, once_roots, "steps change finalize's result");
    require_same(finalize_or_die(once, store, roots, maximal), once_roots,
                 "a repeated finalize differs");
    require_same(finalize_or_die(stepped, fed, std::nullopt, maximal),
                 finalize_or_die(once, store, std::nullopt, maximal),
                 "steps change finalize's result against the marks");
    const std::uint64_t canonical = once.canonical_count();
    require(canonical <= n, "more canonical nodes than store nodes");
    check_reduced(once_roots, canonical, engine);
    auto canonical_reduced = state.reduce_canonical(roots, engine, maximal);
    require(canonical_reduced.has_value(), "the reducer state refuses ids of the store");
    ReducedGraph canonical_graph = std::move(canonical_reduced).value();
    require(canonical_graph.outputs.size() == roots.size(),
            "not one reduced canonical output per root");
    require_same(from_reduced(std::move(canonical_graph)), once_roots,
                 "reduce_canonical and finalize differ");

    const Counters before = counters(once);
    auto refused_final = once.finalize(store, with_bad, maximal);
    require(!refused_final && refused_final.error().id == bad_id,
            "finalize accepts an id past the end");
    require(counters(once) == before, "a refused finalize changes the reducer");

    if (!rewrites_act) {
      ReductionReport expected = by_roots.report;
      expected.input_nodes = canonical;
      require(serialize(*once_roots.store) == reduced_blob && once_roots.report == expected,
              "finalize and reduce differ on a graph no rewrite acts on");
    }
  }
  return 0;
}
