// StoreCore: the interned node list behind one GraphStore. Every node enters through intern(),
// which returns the id of an equal node already present or appends the node, so ids are dense, in
// insertion order, and inputs always name earlier nodes. The store only grows. Every operation
// holds the store's mutex for its whole duration and returns copies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "store/expected.h"
#include "store/flat_id_index.h"
#include "store/node.h"
#include "store/poisonable_mutex.h"

namespace zembric {

// The store's one expected failure: an id that names no node.
struct BadNodeId {
  NodeId id;
};

struct StoreSnapshot {
  std::vector<Node> nodes;
  std::vector<NodeId> outputs;
};

class StoreCore {
 public:
  StoreCore();
  StoreCore(const StoreCore&) = delete;
  StoreCore& operator=(const StoreCore&) = delete;

  Expected<NodeId, BadNodeId> intern(Node node);
  // Makes room for `nodes` more nodes, so that a reader that knows its count interns without
  // growing the node list or the index on the way.
  void reserve(std::uint64_t nodes);
  std::uint64_t node_count();
  // Marks an output once; a repeated mark keeps the first position.
  std::optional<BadNodeId> mark_output(NodeId id);
  std::vector<NodeId> outputs();
  StoreSnapshot snapshot();
  std::vector<Node> nodes_copy();
  // Copies of the nodes from min(watermark, count) to the end.
  std::vector<Node> nodes_since(std::uint64_t watermark);

  // Runs `reader(nodes, outputs)` under the lock without copying. The reader must not call back
  // into this store (the mutex is not recursive) and must not run Python code.
  template <class Reader>
  decltype(auto) read(Reader&& reader) {
    Lock lock(*this);
    return reader(std::span<const Node>(nodes_), std::span<const NodeId>(outputs_));
  }

 private:
  class Lock : public PoisonableMutex::Guard {
   public:
    explicit Lock(StoreCore& store)
        : PoisonableMutex::Guard(store.mutex_, "zembric-core store mutex poisoned") {}
  };

  PoisonableMutex mutex_;
  const std::uint64_t seed_;  // fixed, so hashing may run before the lock is taken
  std::vector<Node> nodes_;
  std::vector<NodeId> outputs_;
  std::vector<bool> marked_;  // marked_[id] for ids in outputs_; may be shorter than nodes_
  FlatIdIndex index_;
};

}  // namespace zembric
