// The reduction pipeline. Reachability runs on an explicit stack (chains of any depth), then one
// ascending pass renumbers the reachable nodes compactly and interns each node's optimizer key to
// a small id once; the rewrite engine merges provably equal terms; one pass hash-conses its output
// on (key id, children) in a flat table; stage fusion emits the reduced list. The term graphs are
// flat arrays that share one key table, so no step allocates per node. Apart from the engine,
// every step is linear in the graph. Node and term counts are limited to 2^32 - 2, the largest
// store.
#include "optimizer/reduction_pipeline.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "optimizer/optimizer_key.h"
#include "optimizer/prototype_table.h"
#include "optimizer/stage_fusion.h"
#include "support/flat_id_index.h"
#include "support/internal_error.h"
#include "store/reduced_store.h"
#include "support/seeded_hash.h"

namespace zembric {
namespace {

constexpr std::uint32_t kUnreached = std::numeric_limits<std::uint32_t>::max();

void check_size(std::size_t count) {
  if (count > FlatIdIndex::kMaxEntries) {
    throw std::length_error("a reduction handles at most 4294967294 nodes");
  }
}

// Marks compact[i] (0) for every node the roots reach, leaving kUnreached elsewhere; returns the
// number of nodes reached and adds their input counts to `inputs`.
std::size_t mark_reachable(std::span<const Node> nodes, std::span<const NodeId> roots,
                           std::vector<std::uint32_t>& compact, std::size_t& inputs) {
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
    const auto node_inputs = nodes[id].inputs();
    inputs += node_inputs.size();
    for (const NodeId input : node_inputs) {
      if (input >= id) {
        throw InternalError("node " + std::to_string(id) + " reads node " + std::to_string(input) +
                            ", which is not earlier");
      }
      if (compact[input] == kUnreached) stack.push_back(input);
    }
  }
  return reached;
}

// The key of a Source, Op, Reduction or Exchange depends on its kind, name and params alone, and
// a graph repeats few of those: this cache maps them to the interned key, so that the key text,
// whose params are spelt out digit by digit, is built once per distinct recent key rather than
// once per node. It only saves work; a collision merely builds the key again.
class PlainKeyCache {
 public:
  static bool applies_to(const Node& node) {
    return node.kind() != NodeKind::External && node.kind() != NodeKind::Stage;
  }

  // The cached key of `node`, or kNoKey; after a miss, remember() records the key for it.
  KeyId find(const Node& node) {
    hash_ = hash_of(node);
    const Entry& entry = entries_[hash_ % kSize];
    if (entry.node == nullptr || entry.hash != hash_) return kNoKey;
    const Node& held = *entry.node;
    if (held.kind() != node.kind() || held.name() != node.name() ||
        held.params() != node.params()) {
      return kNoKey;
    }
    return entry.key;
  }
  // Records `key` for `node`, the node last passed to find(); `node` must outlive the cache.
  void remember(const Node& node, KeyId key) { entries_[hash_ % kSize] = {&node, hash_, key}; }

  static constexpr KeyId kNoKey = std::numeric_limits<KeyId>::max();

 private:
  static constexpr std::size_t kSize = 256;
  struct Entry {
    const Node* node = nullptr;
    std::uint64_t hash = 0;
    KeyId key = 0;
  };

  static std::uint64_t hash_of(const Node& node) {
    SeededHasher h(0);
    h.add_u64(static_cast<std::uint64_t>(node.kind()) + (std::uint64_t{node.name().size()} << 8));
    h.add_words(node.name());
    add_param_entries(h, node.params());
    return h.finish();
  }

  std::array<Entry, kSize> entries_{};
  std::uint64_t hash_ = 0;
};

// Engine input: the reachable nodes renumbered compactly in id order (so still topologically
// ordered), each keyed once through one reused buffer. Boundary nodes are recorded as prototypes;
// nothing is copied, since the prototypes borrow the caller's nodes.
TermGraph compact_terms(std::span<const Node> nodes, std::span<const NodeId> roots,
                        PrototypeTable& prototypes, ReductionReport& report,
                        std::vector<std::uint32_t>& compact) {
  compact.assign(nodes.size(), kUnreached);
  std::size_t inputs = 0;
  const std::size_t reached = mark_reachable(nodes, roots, compact, inputs);
  TermGraph terms;
  terms.reserve(reached, inputs);
  KeyTable& keys = terms.key_table();
  std::string key;
  PlainKeyCache cached;
  std::uint32_t reachable = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (compact[i] == kUnreached) continue;
    compact[i] = reachable++;
    const Node& node = nodes[i];
    const bool plain = PlainKeyCache::applies_to(node);
    KeyId id = plain ? cached.find(node) : PlainKeyCache::kNoKey;
    if (id == PlainKeyCache::kNoKey) {
      key.clear();
      append_optimizer_key(key, node);
      id = keys.intern(key);
      if (plain) cached.remember(node, id);
    }
    // Only boundary nodes are rebuilt from a prototype; operators become stage members by key.
    const bool boundary = node.kind() != NodeKind::Op;
    if (boundary) prototypes.add(id, node);
    terms.begin_term(id, boundary);
    for (const NodeId input : node.inputs())
      terms.add_child(compact[input]);
    terms.end_term();
  }
  terms.roots.reserve(roots.size());
  for (const NodeId root : roots)
    terms.roots.push_back(compact[root]);
  report.reachable_nodes = reachable;
  return terms;
}

// Canonical graph of the engine's output: one term per distinct (key, children) pair, first
// occurrence in term order winning. Its key ids name `keys`, the engine input's table, where the
// prototypes were recorded; an engine that answers with a table of its own is translated by text.
// Keys are interned, so equal ids mean equal texts.
TermGraph hash_cons(const TermGraph& terms, const std::shared_ptr<KeyTable>& keys,
                    std::vector<TermIndex>& canon) {
  const std::size_t count = terms.size();
  check_size(count);
  std::vector<KeyId> key_in_input;
  if (terms.keys() != keys) {
    key_in_input.resize(terms.key_table().size());
    for (KeyId k = 0; k < key_in_input.size(); ++k)
      key_in_input[k] = keys->intern(terms.key_table().text(k));
  }
  const std::uint64_t seed = fresh_hash_seed();
  FlatIdIndex index;
  index.reserve(count);
  TermGraph canonical(keys);
  canonical.reserve(count, terms.all_children().size());
  canon.assign(count, 0);
  std::vector<TermIndex> mapped;
  for (std::size_t m = 0; m < count; ++m) {
    const auto t = static_cast<TermIndex>(m);
    const KeyId key = key_in_input.empty() ? terms.key_id(t) : key_in_input[terms.key_id(t)];
    const auto children = terms.children(t);
    SeededHasher h(seed);
    h.add_u64(key);
    h.add_u64(children.size());
    mapped.clear();
    for (const TermIndex child : children) {
      if (child >= m) {
        throw InternalError("engine term " + std::to_string(m) + " reads term " +
                            std::to_string(child) + ", which is not earlier");
      }
      mapped.push_back(canon[child]);
      h.add_u64(canon[child]);
    }
    const std::uint64_t hash = h.finish();
    const std::uint32_t found = index.find(hash, [&](std::uint32_t id) {
      const auto other = canonical.children(id);
      return canonical.key_id(id) == key &&
             std::equal(other.begin(), other.end(), mapped.begin(), mapped.end());
    });
    if (found != FlatIdIndex::kNone) {
      canon[m] = found;
      continue;
    }
    canon[m] = static_cast<TermIndex>(canonical.size());
    index.insert(hash, canon[m]);
    canonical.add(key, mapped, terms.is_boundary(t));
  }
  canonical.roots.reserve(terms.roots.size());
  for (const TermIndex root : terms.roots) {
    if (root >= count) throw InternalError("engine root " + std::to_string(root) + " is no term");
    canonical.roots.push_back(canon[root]);
  }
  return canonical;
}

// Everything after compaction: the engine, hash-consing, fusion and the rest of the report. With
// `compact` (the compaction's numbering of the input nodes) the locations of the input nodes are
// composed from each step's own bookkeeping: compaction, the engine's placement, hash-consing and
// fusion's member positions.
ReducedGraph reduce_terms(TermGraph input, const PrototypeTable& prototypes,
                          const RewriteEngine& engine, bool maximal_fusion, ReductionReport report,
                          const std::vector<std::uint32_t>* compact) {
  const bool with_map = compact != nullptr;
  std::vector<TermIndex> placement;
  std::vector<TermIndex> canon;
  // Each intermediate graph is released as soon as the next one exists, to keep the peak low.
  const TermGraph canonical = [&] {
    const std::shared_ptr<KeyTable> keys = input.keys();
    const TermGraph engine_output = engine.run(input, with_map ? &placement : nullptr);
    input = TermGraph(keys);
    return hash_cons(engine_output, keys, canon);
  }();
  report.canonical_nodes = canonical.size();

  FusionResult fused = fuse_and_emit(canonical, prototypes, maximal_fusion, with_map);
  report.stages = fused.stages;
  report.boundary_nodes = fused.boundary_nodes;
  report.reduced_nodes = fused.nodes.size();
  ReducedGraph reduced{std::move(fused.nodes), std::move(fused.outputs), report, std::nullopt};
  if (with_map) {
    if (placement.size() != report.reachable_nodes) {
      throw InternalError("engine placement covers " + std::to_string(placement.size()) + " of " +
                          std::to_string(report.reachable_nodes) + " terms");
    }
    std::vector<ValueLocation>& locations = reduced.locations.emplace(compact->size());
    for (std::size_t i = 0; i < compact->size(); ++i) {
      const std::uint32_t term = (*compact)[i];
      if (term == kUnreached) continue;
      const TermIndex placed = placement[term];
      if (placed >= canon.size()) throw InternalError("engine placement names no output term");
      locations[i] = fused.locations[canon[placed]];
    }
  }
  return reduced;
}

// Size check, reachability and compaction: the terms every reduction starts from.
TermGraph start_reduction(std::span<const Node> nodes, std::span<const NodeId> roots,
                          PrototypeTable& prototypes, ReductionReport& report,
                          std::vector<std::uint32_t>& compact) {
  check_size(nodes.size());
  report.input_nodes = nodes.size();
  return compact_terms(nodes, roots, prototypes, report, compact);
}

// reduce_graph on a node list the pipeline may consume: once the terms are built, the prototypes
// are moved out and the list is released, long before the engine's peak.
ReducedGraph reduce_owned(NodeList nodes, std::span<const NodeId> roots,
                          const RewriteEngine& engine, bool maximal_fusion, bool with_map) {
  ReductionReport report;
  PrototypeTable prototypes;
  std::vector<std::uint32_t> compact;
  TermGraph input = start_reduction(nodes, roots, prototypes, report, compact);
  prototypes.take_from(nodes);
  nodes = {};
  if (!with_map) compact = {};
  return reduce_terms(std::move(input), prototypes, engine, maximal_fusion, report,
                      with_map ? &compact : nullptr);
}

}  // namespace

ReducedGraph reduce_graph(std::span<const Node> nodes, std::span<const NodeId> roots,
                          const RewriteEngine& engine, bool maximal_fusion, bool with_map) {
  ReductionReport report;
  PrototypeTable prototypes;
  std::vector<std::uint32_t> compact;
  TermGraph input = start_reduction(nodes, roots, prototypes, report, compact);
  if (!with_map) compact = {};
  return reduce_terms(std::move(input), prototypes, engine, maximal_fusion, report,
                      with_map ? &compact : nullptr);
}

ReducedStore from_reduced(ReducedGraph reduced) {
  std::vector<NodeId> id_of_position;
  ReducedStore result{from_reduced(std::move(reduced.nodes), reduced.outputs, &id_of_position),
                      reduced.report, std::nullopt};
  if (!reduced.locations) return result;
  // Positions are ids unless the new store merged two equal reduced nodes.
  auto id_of = [&](NodeId position) {
    return id_of_position.empty() ? position : id_of_position[position];
  };
  ReductionMap& map = result.map.emplace();
  map.roots.reserve(reduced.outputs.size());
  for (const NodeId position : reduced.outputs)
    map.roots.push_back(id_of(position));
  map.nodes = std::move(*reduced.locations);
  if (!id_of_position.empty()) {
    for (ValueLocation& location : map.nodes) {
      if (location.needed()) location.node = static_cast<std::uint32_t>(id_of(location.node));
    }
  }
  return result;
}

ReducedStore reduce_with_marks(StoreCore& store, const RewriteEngine& engine, bool maximal_fusion,
                               bool with_map) {
  ReducedGraph reduced;
  {
    // The copy goes before the new store is built, which keeps the peak memory lower.
    StoreSnapshot snapshot = store.snapshot();
    reduced =
        reduce_owned(std::move(snapshot.nodes), snapshot.outputs, engine, maximal_fusion, with_map);
  }
  return from_reduced(std::move(reduced));
}

Expected<ReducedStore, BadNodeId> reduce_with_outputs(StoreCore& store,
                                                      std::span<const NodeId> outputs,
                                                      const RewriteEngine& engine,
                                                      bool maximal_fusion, bool with_map) {
  ReducedGraph reduced;
  {
    NodeList nodes = store.nodes_copy();
    for (const NodeId id : outputs) {
      if (id >= nodes.size()) return BadNodeId{id};
    }
    reduced = reduce_owned(std::move(nodes), outputs, engine, maximal_fusion, with_map);
  }
  return from_reduced(std::move(reduced));
}

}  // namespace zembric
