// IncrementalReducer: a ReducerState behind its own poisonable lock, fed one store step by step.
// Lock order: the reducer's lock first, the store's inside the store's own operations, never the
// other way round.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "optimizer/reducer_state.h"
#include "optimizer/reduction_pipeline.h"
#include "store/store_core.h"
#include "support/expected.h"
#include "support/poisonable_mutex.h"

namespace zembric {

class IncrementalReducer {
 public:
  // Consumes the store's nodes recorded since the last step, reading them under the store's lock
  // without copying them; returns how many.
  Expected<std::uint64_t, BadNodeId> step(StoreCore& store);

  std::uint64_t watermark();
  std::uint64_t total_work();
  std::uint64_t canonical_count();

  // Consumes the remaining delta and reduces the canonical form against the store's marks, or
  // against exactly `outputs` when given. Store ids are read and checked before the reducer is
  // locked, so a bad id leaves the reducer untouched. The state stays usable afterwards. With
  // `with_map` the result carries the map, over the store's ids: a node the roots do not reach in
  // the store is nowhere, whatever nodes equal to it the canonical form holds.
  Expected<ReducedStore, BadNodeId> finalize(StoreCore& store,
                                             const std::optional<std::vector<NodeId>>& outputs,
                                             bool maximal_fusion, bool with_map = false);

  // step() and finalize(), run only when they are short: when the reducer is free at once and
  // the nodes they would work on (the delta, and for finalize the canonical form too) number
  // fewer than `max_nodes`. std::nullopt, with nothing done, otherwise. A caller that holds a
  // lock of its own meanwhile (the interpreter's) so never waits for another thread's operation
  // on the reducer, such as a long finalize.
  std::optional<Expected<std::uint64_t, BadNodeId>> step_if_short(StoreCore& store,
                                                                  std::uint64_t max_nodes);
  std::optional<Expected<ReducedStore, BadNodeId>> finalize_if_short(
      StoreCore& store, const std::optional<std::vector<NodeId>>& outputs, bool maximal_fusion,
      bool with_map, std::uint64_t max_nodes);

 private:
  // Runs `operation()` under the reducer's lock.
  template <class Operation>
  decltype(auto) locked(Operation&& operation) {
    return mutex_.locked(kPoisoned, std::forward<Operation>(operation));
  }

  Expected<std::uint64_t, BadNodeId> consume_delta(StoreCore& store);
  // The store's nodes not consumed yet, as far as its count hint tells; needs the reducer's lock.
  std::uint64_t delta_hint(const StoreCore& store) const;
  // The body of finalize, under the reducer's lock.
  Expected<ReducedStore, BadNodeId> finalize_locked(StoreCore& store,
                                                    const std::vector<NodeId>& roots,
                                                    bool maximal_fusion, bool with_map);

  static constexpr const char* kPoisoned = "incremental reducer poisoned";
  PoisonableMutex mutex_;
  ReducerState state_;
};

}  // namespace zembric
