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

 private:
  // Runs `operation()` under the reducer's lock.
  template <class Operation>
  decltype(auto) locked(Operation&& operation) {
    return mutex_.locked("incremental reducer poisoned", std::forward<Operation>(operation));
  }

  Expected<std::uint64_t, BadNodeId> consume_delta(StoreCore& store);

  PoisonableMutex mutex_;
  ReducerState state_;
};

}  // namespace zembric
