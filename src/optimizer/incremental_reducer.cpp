#include "optimizer/incremental_reducer.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "optimizer/saturation_engine.h"
#include "support/internal_error.h"

namespace zembric {

namespace {

// Over the store's first id_map.size() nodes (those consumed; the store has only grown since):
// the location of each node's canonical node when a root reaches it in the store, else nowhere.
std::vector<ValueLocation> locate_store_nodes(StoreCore& store, std::span<const NodeId> roots,
                                              std::span<const NodeId> id_map,
                                              const std::vector<ValueLocation>& canonical) {
  return store.read([&](std::span<const Node> nodes, std::span<const NodeId>) {
    const std::size_t count = id_map.size();
    if (nodes.size() < count) throw InternalError("the store lost nodes the reducer consumed");
    std::vector<ValueLocation> located(count);
    std::vector<bool> reached(count, false);
    std::vector<NodeId> stack;
    for (const NodeId root : roots) {
      if (root >= count) throw InternalError("root " + std::to_string(root) + " is no node");
      stack.push_back(root);
    }
    while (!stack.empty()) {
      const NodeId id = stack.back();
      stack.pop_back();
      if (reached[id]) continue;
      reached[id] = true;
      if (id_map[id] >= canonical.size())
        throw InternalError("no entry found for key: store node " + std::to_string(id) +
                            " has no canonical node");
      located[id] = canonical[id_map[id]];
      for (const NodeId input : nodes[id].inputs()) {
        if (!reached[input]) stack.push_back(input);
      }
    }
    return located;
  });
}

}  // namespace

Expected<std::uint64_t, BadNodeId> IncrementalReducer::consume_delta(StoreCore& store) {
  // The delta is read in place under the store's lock, taken inside ours. An exception from the
  // reducer (out of memory) is carried out of the store's guard and rethrown here, so that it
  // poisons the reducer only, as when the reducer worked on a copy.
  std::exception_ptr failure;
  Expected<std::uint64_t, BadNodeId> consumed =
      store.read([&](std::span<const Node> nodes,
                     std::span<const NodeId>) -> Expected<std::uint64_t, BadNodeId> {
        const auto from =
            static_cast<std::size_t>(std::min<std::uint64_t>(state_.watermark(), nodes.size()));
        try {
          return state_.consume(nodes.subspan(from));
        } catch (...) {
          failure = std::current_exception();
          return std::uint64_t{0};
        }
      });
  if (failure) std::rethrow_exception(failure);
  return consumed;
}

Expected<std::uint64_t, BadNodeId> IncrementalReducer::step(StoreCore& store) {
  return locked([&] { return consume_delta(store); });
}

std::uint64_t IncrementalReducer::delta_hint(const StoreCore& store) const {
  const std::uint64_t count = store.node_count_hint();
  return count > state_.watermark() ? count - state_.watermark() : 0;
}

std::optional<Expected<std::uint64_t, BadNodeId>> IncrementalReducer::step_if_short(
    StoreCore& store, std::uint64_t max_nodes) {
  auto stepped =
      mutex_.try_locked(kPoisoned, [&]() -> std::optional<Expected<std::uint64_t, BadNodeId>> {
        if (delta_hint(store) >= max_nodes) return std::nullopt;
        return consume_delta(store);
      });
  if (!stepped) return std::nullopt;
  return std::move(*stepped);
}

std::uint64_t IncrementalReducer::watermark() {
  return locked([&] { return state_.watermark(); });
}

std::uint64_t IncrementalReducer::total_work() {
  return locked([&] { return state_.total_work(); });
}

std::uint64_t IncrementalReducer::canonical_count() {
  return locked([&] { return state_.canonical_count(); });
}

namespace {

// The roots of a finalize: `outputs` when given, each checked against the store, else its marks.
Expected<std::vector<NodeId>, BadNodeId> finalize_roots(
    StoreCore& store, const std::optional<std::vector<NodeId>>& outputs) {
  if (!outputs) return store.marks();
  const std::uint64_t count = store.node_count();
  for (NodeId id : *outputs) {
    if (id >= count) return BadNodeId{id};
  }
  return *outputs;
}

}  // namespace

Expected<ReducedStore, BadNodeId> IncrementalReducer::finalize(
    StoreCore& store, const std::optional<std::vector<NodeId>>& outputs, bool maximal_fusion,
    bool with_map) {
  Expected<std::vector<NodeId>, BadNodeId> roots = finalize_roots(store, outputs);
  if (!roots) return std::move(roots).error();
  return locked([&] { return finalize_locked(store, roots.value(), maximal_fusion, with_map); });
}

std::optional<Expected<ReducedStore, BadNodeId>> IncrementalReducer::finalize_if_short(
    StoreCore& store, const std::optional<std::vector<NodeId>>& outputs, bool maximal_fusion,
    bool with_map, std::uint64_t max_nodes) {
  auto finalized =
      mutex_.try_locked(kPoisoned, [&]() -> std::optional<Expected<ReducedStore, BadNodeId>> {
        if (state_.canonical_count() + delta_hint(store) >= max_nodes) return std::nullopt;
        // The store's lock is taken inside the reducer's, as in every operation.
        Expected<std::vector<NodeId>, BadNodeId> roots = finalize_roots(store, outputs);
        if (!roots) return std::move(roots).error();
        return finalize_locked(store, roots.value(), maximal_fusion, with_map);
      });
  if (!finalized) return std::nullopt;
  return std::move(*finalized);
}

Expected<ReducedStore, BadNodeId> IncrementalReducer::finalize_locked(
    StoreCore& store, const std::vector<NodeId>& roots, bool maximal_fusion, bool with_map) {
  // A finalize that fails for memory takes back what it consumed, leaving the reducer as it was.
  const ReducerState::Checkpoint before = state_.checkpoint();
  try {
    if (auto consumed = consume_delta(store); !consumed) return std::move(consumed).error();
    Expected<ReducedGraph, BadNodeId> reduced =
        state_.reduce_canonical(roots, SaturationEngine::standard(), maximal_fusion, with_map);
    if (!reduced) return std::move(reduced).error();
    if (with_map) {
      reduced.value().locations =
          locate_store_nodes(store, roots, state_.id_map(), *reduced.value().locations);
    }
    return from_reduced(std::move(reduced).value());
  } catch (...) {
    state_.rollback(before);
    throw;
  }
}

}  // namespace zembric
