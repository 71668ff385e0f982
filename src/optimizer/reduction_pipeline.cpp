// The reduction pipeline, as the road every reduction takes: reach and compact the nodes the roots
// need (dead_code_elimination), merge terms the rules prove equal (the rewrite engine), hash-cons
// the result unless the engine vouches it holds no two equal terms (hash_consing), fuse operators
// into Stages and emit the reduced list (stage_fusion), then build the new store from it. The term
// graphs are flat arrays that share one key table, so no step allocates per node. Apart from the
// engine, every step is linear in the graph. Node and term counts are limited to 2^32 - 2, the
// largest store.
//
// Code layout: every function that a small store's reduction runs through, from the method's
// binding to the new store, is marked [[gnu::hot]], and the compiler gathers those in one part of
// the module's text. A call made a few milliseconds after the last one finds the caches and the
// translation buffers emptied and waits for each page of code it touches; gathered, the call at
// 10^2 nodes touches 24 pages of the module's code instead of 38, and runs about 7% faster. A
// function added to that road should carry the mark.
#include "optimizer/reduction_pipeline.h"

#include <exception>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "optimizer/dead_code_elimination.h"
#include "optimizer/hash_consing.h"
#include "optimizer/prototype_table.h"
#include "optimizer/stage_fusion.h"
#include "store/reduced_store.h"
#include "support/flat_id_index.h"
#include "support/internal_error.h"
#include "support/no_index.h"

namespace zembric {
namespace {

void check_size(std::size_t count) {
  if (count > FlatIdIndex::kMaxEntries) {
    throw std::length_error("a reduction handles at most 4294967294 nodes");
  }
}

// Everything after compaction: the engine, hash-consing, fusion and the rest of the report. With
// `compact` (the compaction's numbering of the input nodes) the locations of the input nodes are
// composed from each step's own bookkeeping: compaction, the engine's placement, hash-consing and
// fusion's member positions.
[[gnu::hot]] ReducedGraph reduce_terms(TermGraph input, const PrototypeTable& prototypes,
                                       const RewriteEngine& engine, bool maximal_fusion,
                                       ReductionReport report,
                                       const std::vector<std::uint32_t>* compact) {
  const bool with_map = compact != nullptr;
  std::vector<TermIndex> placement;
  std::vector<TermIndex> representative;
  // Each intermediate graph is released as soon as the next one exists, to keep the peak low.
  const TermGraph shared = [&] {
    const std::shared_ptr<KeyTable> keys = input.keys();
    TermGraph engine_output = engine.run(input, with_map ? &placement : nullptr);
    input = TermGraph(keys);
    if (engine_output.distinct() && engine_output.keys() == keys) {
      // Nothing to share: hash-consing would copy the graph term for term.
      if (with_map) {
        representative.resize(engine_output.size());
        std::iota(representative.begin(), representative.end(), TermIndex{0});
      }
      return engine_output;
    }
    return hash_cons(engine_output, keys, representative);
  }();
  report.canonical_nodes = shared.size();

  FusionResult fused = fuse_and_emit(shared, prototypes, maximal_fusion, with_map);
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
      if (term == kNoIndex) continue;
      const TermIndex placed = placement[term];
      if (placed >= representative.size())
        throw InternalError("engine placement names no output term");
      locations[i] = fused.locations[representative[placed]];
    }
  }
  return reduced;
}

// Size check, reachability and compaction: the terms every reduction starts from.
TermGraph start_reduction(std::span<const Node> nodes, std::span<const NodeId> roots,
                          PrototypeTable& prototypes, ReductionReport& report,
                          std::vector<std::uint32_t>& compact, const ShapeTable* shapes = nullptr,
                          bool borrow_keys = false) {
  check_size(nodes.size());
  report.input_nodes = nodes.size();
  return eliminate_dead_code(nodes, roots, prototypes, report, compact, shapes, borrow_keys);
}

// A reduction of a store's own node list, begun under its lock: reachability and compaction read
// the nodes in place, so that no copy of the whole list is made. A small store is then reduced to
// the end under the lock, its prototypes and key texts read in place too; the lock is held for
// well under a millisecond. A big one copies its prototypes (one node per distinct key) and its
// key texts, and the rest runs after the lock is released, so that other threads can use the
// store meanwhile. Fails on a root that names no node, before anything is read.
constexpr std::size_t kReducedUnderLock = 1024;

struct StartedReduction {
  TermGraph input;
  PrototypeTable prototypes;
  ReductionReport report;
  std::vector<std::uint32_t> compact;
};

[[gnu::hot]] ReducedStore finish_in_new_store(StartedReduction started, const RewriteEngine& engine,
                                              bool maximal_fusion, bool with_map) {
  if (!with_map) started.compact = {};
  return from_reduced(reduce_terms(std::move(started.input), started.prototypes, engine,
                                   maximal_fusion, started.report,
                                   with_map ? &started.compact : nullptr));
}

// The part of a reduction done under the store's lock, on its nodes and shapes: all of it for a
// small store; for a big one, up to the copies that the rest works on (`unfinished`). Sets
// `failed` when the work after compaction fails: it only reads the store, so its failure is
// rethrown once the lock is released rather than poisoning it.
[[gnu::hot]] Expected<std::optional<ReducedStore>, BadNodeId> reduce_under_lock(
    std::span<const Node> nodes, std::span<const NodeId> roots, const ShapeTable& shapes,
    const RewriteEngine& engine, bool maximal_fusion, bool with_map, std::exception_ptr& failed,
    std::optional<StartedReduction>& unfinished) {
  for (const NodeId id : roots) {
    if (id >= nodes.size()) return BadNodeId{id};
  }
  PrototypeTable prototypes;
  ReductionReport report;
  std::vector<std::uint32_t> compact;
  const bool whole_under_lock = nodes.size() < kReducedUnderLock;
  TermGraph input =
      start_reduction(nodes, roots, prototypes, report, compact, &shapes, whole_under_lock);
  StartedReduction started{std::move(input), std::move(prototypes), report, std::move(compact)};
  // A store holds no two equal nodes, and nodes with equal keys and inputs are equal.
  started.input.mark_distinct();
  if (whole_under_lock) {
    try {
      return std::optional<ReducedStore>(
          finish_in_new_store(std::move(started), engine, maximal_fusion, with_map));
    } catch (...) {
      failed = std::current_exception();
      return std::optional<ReducedStore>();
    }
  }
  started.prototypes.copy_from(nodes);
  unfinished.emplace(std::move(started));
  return std::optional<ReducedStore>();
}

[[gnu::hot]] Expected<ReducedStore, BadNodeId> reduce_in_store(
    StoreCore& store, std::optional<std::span<const NodeId>> roots, const RewriteEngine& engine,
    bool maximal_fusion, bool with_map) {
  std::exception_ptr failed;
  std::optional<StartedReduction> unfinished;
  Expected<std::optional<ReducedStore>, BadNodeId> under_lock = store.read_shaped(
      [&](std::span<const Node> nodes, std::span<const NodeId> marks, const ShapeTable& shapes) {
        return reduce_under_lock(nodes, roots ? *roots : marks, shapes, engine, maximal_fusion,
                                 with_map, failed, unfinished);
      });
  if (failed) std::rethrow_exception(failed);
  if (!under_lock) return std::move(under_lock).error();
  if (under_lock.value()) return std::move(*under_lock.value());
  return finish_in_new_store(std::move(*unfinished), engine, maximal_fusion, with_map);
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

[[gnu::hot]] ReducedStore from_reduced(ReducedGraph reduced) {
  // Fusion emits no two equal nodes from a hash-consed graph, so positions are ids.
  ReducedStore result{adopt_reduced(std::move(reduced.nodes), reduced.outputs), reduced.report,
                      std::nullopt};
  if (!reduced.locations) return result;
  ReductionMap& map = result.map.emplace();
  map.roots = std::move(reduced.outputs);
  map.nodes = std::move(*reduced.locations);
  return result;
}

[[gnu::hot]] ReducedStore reduce_with_marks(StoreCore& store, const RewriteEngine& engine,
                                            bool maximal_fusion, bool with_map) {
  Expected<ReducedStore, BadNodeId> reduced =
      reduce_in_store(store, std::nullopt, engine, maximal_fusion, with_map);
  if (!reduced) throw InternalError("a store marks a node it does not hold");
  return std::move(reduced).value();
}

[[gnu::hot]] Expected<ReducedStore, BadNodeId> reduce_with_outputs(StoreCore& store,
                                                                   std::span<const NodeId> outputs,
                                                                   const RewriteEngine& engine,
                                                                   bool maximal_fusion,
                                                                   bool with_map) {
  return reduce_in_store(store, outputs, engine, maximal_fusion, with_map);
}

}  // namespace zembric
