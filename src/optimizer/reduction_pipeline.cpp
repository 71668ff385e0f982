// The reduction pipeline. Reachability runs on an explicit stack (chains of any depth), then one
// ascending pass renumbers the reachable nodes compactly and computes each node's optimizer key
// once; the rewrite engine merges provably equal terms; one pass hash-conses its output on
// (key, children) in a flat table; stage fusion emits the reduced list. Apart from the engine,
// every step is linear in the graph. Node and term counts are limited to 2^32 - 2, the largest
// store.
#include "optimizer/reduction_pipeline.h"

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "optimizer/optimizer_key.h"
#include "optimizer/prototype_table.h"
#include "optimizer/stage_fusion.h"
#include "store/flat_id_index.h"
#include "store/internal_error.h"
#include "store/reduced_store.h"
#include "store/seeded_hash.h"

namespace zembric {
namespace {

constexpr std::uint32_t kUnreached = std::numeric_limits<std::uint32_t>::max();

void check_size(std::size_t count) {
  if (count > FlatIdIndex::kMaxEntries) {
    throw std::length_error("a reduction handles at most 4294967294 nodes");
  }
}

// Marks compact[i] (0) for every node the roots reach, leaving kUnreached elsewhere; returns the
// number of nodes reached.
std::size_t mark_reachable(std::span<const Node> nodes, std::span<const NodeId> roots,
                           std::vector<std::uint32_t>& compact) {
  for (const NodeId root : roots) {
    if (root >= nodes.size()) throw InternalError("root " + std::to_string(root) + " is no node");
  }
  std::size_t reached = 0;
  std::vector<NodeId> stack(roots.begin(), roots.end());
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (compact[id] != kUnreached) continue;
    compact[id] = 0;
    ++reached;
    for (const NodeId input : nodes[id].inputs()) {
      if (input >= id) {
        throw InternalError("node " + std::to_string(id) + " reads node " + std::to_string(input) +
                            ", which is not earlier");
      }
      if (compact[input] == kUnreached) stack.push_back(input);
    }
  }
  return reached;
}

// Canonical graph of the engine's output: one term per distinct (key, children) pair, first
// occurrence in term order winning. The engine output is consumed.
TermGraph hash_cons(TermGraph engine_output) {
  std::vector<Term>& terms = engine_output.terms;
  check_size(terms.size());
  const std::uint64_t seed = fresh_hash_seed();
  FlatIdIndex index;
  index.reserve(terms.size());
  TermGraph canonical;
  canonical.terms.reserve(terms.size());
  std::vector<TermIndex> canon(terms.size());
  for (std::size_t m = 0; m < terms.size(); ++m) {
    Term& term = terms[m];
    SeededHasher h(seed);
    h.add_bytes(term.key);
    h.add_u64(term.children.size());
    for (TermIndex& child : term.children) {
      if (child >= m) {
        throw InternalError("engine term " + std::to_string(m) + " reads term " +
                            std::to_string(child) + ", which is not earlier");
      }
      child = canon[child];
      h.add_u64(child);
    }
    const std::uint64_t hash = h.finish();
    const std::uint32_t found = index.find(hash, [&](std::uint32_t id) {
      const Term& other = canonical.terms[id];
      return other.key == term.key && other.children == term.children;
    });
    if (found != FlatIdIndex::kNone) {
      canon[m] = found;
      continue;
    }
    canon[m] = canonical.terms.size();
    index.insert(hash, static_cast<std::uint32_t>(canon[m]));
    canonical.terms.push_back(std::move(term));
  }
  canonical.roots.reserve(engine_output.roots.size());
  for (const TermIndex root : engine_output.roots) {
    if (root >= terms.size())
      throw InternalError("engine root " + std::to_string(root) + " is no term");
    canonical.roots.push_back(canon[root]);
  }
  return canonical;
}

}  // namespace

ReducedGraph reduce_graph(std::span<const Node> nodes, std::span<const NodeId> roots,
                          const RewriteEngine& engine, bool maximal_fusion) {
  check_size(nodes.size());
  std::vector<std::uint32_t> compact(nodes.size(), kUnreached);
  const std::size_t reached = mark_reachable(nodes, roots, compact);

  // Compaction keeps id order, so the engine input is topologically ordered too. The reachable
  // nodes are not copied: keys, children and prototypes all refer to the caller's list.
  TermGraph input;
  input.terms.reserve(reached);
  std::uint32_t reachable = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (compact[i] == kUnreached) continue;
    compact[i] = reachable++;
    const Node& node = nodes[i];
    const auto inputs = node.inputs();
    Term term{optimizer_key(node), std::vector<TermIndex>(inputs.size()),
              node.kind() != NodeKind::Op};
    for (std::size_t k = 0; k < inputs.size(); ++k)
      term.children[k] = compact[inputs[k]];
    input.terms.push_back(std::move(term));
  }
  input.roots.reserve(roots.size());
  for (const NodeId root : roots)
    input.roots.push_back(compact[root]);

  // Only boundary nodes are rebuilt from a prototype; operators become stage members by key.
  // Added after the term list is complete, since the table borrows the key texts.
  PrototypeTable prototypes;
  {
    std::size_t term_index = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (compact[i] == kUnreached) continue;
      const Term& term = input.terms[term_index++];
      if (term.is_boundary) prototypes.add(term.key, nodes[i]);
    }
  }
  compact = {};

  TermGraph canonical = hash_cons(engine.run(input));
  ReductionReport report;
  report.input_nodes = nodes.size();
  report.reachable_nodes = reachable;
  report.canonical_nodes = canonical.terms.size();

  FusionResult fused = fuse_and_emit(std::move(canonical), prototypes, maximal_fusion);
  report.stages = fused.stages;
  report.boundary_nodes = fused.boundary_nodes;
  report.reduced_nodes = fused.nodes.size();
  return ReducedGraph{std::move(fused.nodes), std::move(fused.outputs), report};
}

ReducedStore from_reduced(ReducedGraph reduced) {
  return ReducedStore{from_reduced(std::move(reduced.nodes), reduced.outputs), reduced.report};
}

ReducedStore reduce_with_marks(StoreCore& store, const RewriteEngine& engine, bool maximal_fusion) {
  ReducedGraph reduced;
  {
    // The copy goes before the new store is built, which keeps the peak memory lower.
    const StoreSnapshot snapshot = store.snapshot();
    reduced = reduce_graph(snapshot.nodes, snapshot.outputs, engine, maximal_fusion);
  }
  return from_reduced(std::move(reduced));
}

Expected<ReducedStore, BadNodeId> reduce_with_outputs(StoreCore& store,
                                                      std::span<const NodeId> outputs,
                                                      const RewriteEngine& engine,
                                                      bool maximal_fusion) {
  ReducedGraph reduced;
  {
    const std::vector<Node> nodes = store.nodes_copy();
    for (const NodeId id : outputs) {
      if (id >= nodes.size()) return BadNodeId{id};
    }
    reduced = reduce_graph(nodes, outputs, engine, maximal_fusion);
  }
  return from_reduced(std::move(reduced));
}

}  // namespace zembric
