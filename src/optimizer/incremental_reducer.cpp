#include "optimizer/incremental_reducer.h"

#include "optimizer/saturation_engine.h"

namespace zembric {

Expected<std::uint64_t, BadNodeId> IncrementalReducer::consume_delta(StoreCore& store) {
  return state_.consume(store.nodes_since(state_.watermark()));
}

Expected<std::uint64_t, BadNodeId> IncrementalReducer::step(StoreCore& store) {
  Lock lock(*this);
  return consume_delta(store);
}

std::uint64_t IncrementalReducer::watermark() {
  Lock lock(*this);
  return state_.watermark();
}

std::uint64_t IncrementalReducer::total_work() {
  Lock lock(*this);
  return state_.total_work();
}

std::uint64_t IncrementalReducer::canonical_count() {
  Lock lock(*this);
  return state_.canonical_count();
}

Expected<ReducedStore, BadNodeId> IncrementalReducer::finalize(
    StoreCore& store, const std::optional<std::vector<NodeId>>& outputs, bool maximal_fusion) {
  std::vector<NodeId> roots;
  if (outputs) {
    const std::uint64_t count = store.node_count();
    for (NodeId id : *outputs) {
      if (id >= count) return BadNodeId{id};
    }
    roots = *outputs;
  } else {
    roots = store.outputs();
  }

  Lock lock(*this);
  if (auto consumed = consume_delta(store); !consumed) return std::move(consumed).error();
  const SaturationEngine engine;
  Expected<ReducedGraph, BadNodeId> reduced =
      state_.reduce_canonical(roots, engine, maximal_fusion);
  if (!reduced) return std::move(reduced).error();
  return from_reduced(std::move(reduced).value());
}

}  // namespace zembric
