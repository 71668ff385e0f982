// StoreCore: the interned node list behind one GraphStore. Every node enters through intern(),
// which returns the id of an equal node already present or appends the node, so ids are dense, in
// insertion order, and inputs always name earlier nodes. The store only grows. Every operation
// holds the store's mutex for its whole duration and returns copies.
//
// Words: the outputs are the nodes a caller asks for (outputs= of the Python methods); a store's
// marks are the outputs recorded in it, in mark order (outputs() in Python, the blob's output
// list); the roots are the nodes a reduction starts from, the marks or the outputs given.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "store/node.h"
#include "store/shape_table.h"
#include "support/big_block.h"
#include "support/expected.h"
#include "support/flat_id_index.h"
#include "support/poisonable_mutex.h"

namespace zembric {

// The store's one expected failure: an id that names no node.
struct BadNodeId {
  NodeId id;
};

// A node list that maps its array on huge pages once it is big: a copy of a million nodes then
// faults a few dozen times instead of some twenty thousand.
using NodeList = std::vector<Node, HugePageAllocator<Node>>;

struct StoreSnapshot {
  NodeList nodes;
  std::vector<NodeId> marks;
};

class StoreCore {
 public:
  StoreCore();
  StoreCore(const StoreCore&) = delete;
  StoreCore& operator=(const StoreCore&) = delete;

  Expected<NodeId, BadNodeId> intern(Node&& node);
  // Makes room for `nodes` more nodes, so that a reader that knows its count interns without
  // growing the node list or the index on the way.
  void reserve(std::uint64_t nodes);
  std::uint64_t node_count();
  // The node count read without the lock, for a caller that only judges how long work will take:
  // exact unless another thread is adding nodes, and then a count the store had a moment ago.
  std::uint64_t node_count_hint() const noexcept {
    return count_hint_.load(std::memory_order_relaxed);
  }
  // Marks an output once; a repeated mark keeps the first position.
  std::optional<BadNodeId> mark_output(NodeId id);
  std::vector<NodeId> marks();
  StoreSnapshot snapshot();
  // Copies of the nodes from min(watermark, count) to the end.
  std::vector<Node> nodes_since(std::uint64_t watermark);

  // Exclusive, lock-once filling of a new store (below).
  class Builder;

  // Runs `reader(nodes, outputs)` under the lock without copying. The reader must not call back
  // into this store (the mutex is not recursive) and must not run Python code.
  template <class Reader>
  decltype(auto) read(Reader&& reader) {
    return read_shaped([&](std::span<const Node> nodes, std::span<const NodeId> marks,
                           const ShapeTable&) -> decltype(auto) { return reader(nodes, marks); });
  }
  // As read, with the shapes of the nodes as a third argument.
  template <class Reader>
  decltype(auto) read_shaped(Reader&& reader) {
    return mutex_.locked(kPoisoned, [&]() -> decltype(auto) {
      return reader(std::span<const Node>(nodes_), std::span<const NodeId>(marks_),
                    static_cast<const ShapeTable&>(shapes_));
    });
  }

 private:
  static constexpr const char* kPoisoned = "zembric-core store mutex poisoned";

  class Lock : public PoisonableMutex::Guard {
   public:
    explicit Lock(StoreCore& store) : PoisonableMutex::Guard(store.mutex_, kPoisoned) {}
  };

  // Runs one operation under the lock; see PoisonableMutex::locked.
  template <class Operation>
  decltype(auto) locked(Operation&& operation) {
    return mutex_.locked(kPoisoned, std::forward<Operation>(operation));
  }

  // The bodies of intern, reserve and mark_output, for a caller that holds the lock.
  Expected<NodeId, BadNodeId> intern_locked(Node&& node, NodeShapeHashes hashes);
  void reserve_locked(std::uint64_t nodes);
  std::optional<BadNodeId> mark_output_locked(NodeId id);
  // Indexes the nodes a builder adopted without indexing them. On a failure for memory nothing
  // has changed; on two equal nodes it throws InternalError, which poisons the store.
  void index_adopted_locked();

  PoisonableMutex mutex_;
  const std::uint64_t seed_;  // fixed, so hashing may run before the lock is taken
  // Mapped when big: filling 4 KiB pages one fault at a time costs a tenth of a big build.
  NodeList nodes_;
  std::vector<NodeId> marks_;
  std::vector<std::uint8_t> marked_;  // marked_[id] for ids in marks_; may be shorter than nodes_
  FlatIdIndex index_;
  std::size_t indexed_ = 0;  // index_ holds nodes_[0, indexed_); the rest were adopted distinct
  // The shapes of a prefix of the nodes: those intern() added while the store was small and no
  // builder had added any.
  ShapeTable shapes_;
  std::atomic<std::uint64_t> count_hint_{0};  // nodes_.size(), stored after each change
};

// Fills a store that no other thread can reach yet (the blob reader's and a reduction's new
// store) under one lock held from construction to destruction, instead of one lock per node. The
// store's own operations must not be called while a builder lives (the mutex is not recursive).
//
// A list that is expected to hold no two equal nodes is built in two steps: append() adds each
// node at the next position without looking it up, then index_appended() indexes them in order,
// with the lookups of several nodes in flight at once (in a big store each one is a cache miss).
class StoreCore::Builder {
 public:
  explicit Builder(StoreCore& store) : store_(store), lock_(store) {}
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  // Nodes still appended but not indexed (only a build that failed half-way leaves any) are
  // dropped, so that the store's invariants hold again when the lock is released.
  ~Builder();

  // Makes room for `nodes` more nodes.
  void reserve(std::uint64_t nodes);
  // Adds the node at the next position, without looking for an equal one; fails like intern on
  // an input that names no node. Positions stay ids unless index_appended() says otherwise.
  std::optional<BadNodeId> append(Node&& node);
  // Takes `nodes` as the nodes of a store still empty, without moving one. The list must hold no
  // two equal nodes, and every input must name an earlier position; neither is checked here. The
  // store indexes the list only when it is first asked to intern a node, so that a store that is
  // only read never pays for it (a reduction's new store, as a rule), and should two nodes be
  // equal after all, that intern throws InternalError. Throws InternalError on a store not empty.
  void adopt_distinct(NodeList&& nodes);
  // Indexes the appended nodes in order. Should one equal an earlier node, positions and ids
  // part ways there: that node and every node appended after it are interned one by one, their
  // inputs read as positions, and the result maps every position of the store, from 0, to its id.
  // Otherwise the result is empty: positions are ids. Fails like intern.
  Expected<std::vector<NodeId>, BadNodeId> index_appended();
  // The node at `id`, which must be smaller than the node count; valid until the next change.
  const Node& node(NodeId id) const { return store_.nodes_[id]; }

  // As StoreCore::intern and mark_output; intern only once every appended node is indexed.
  Expected<NodeId, BadNodeId> intern(Node&& node);
  std::optional<BadNodeId> mark_output(NodeId id) { return store_.mark_output_locked(id); }

 private:
  StoreCore& store_;
  Lock lock_;
  std::vector<std::uint64_t> pending_hashes_;  // of the appended nodes not yet indexed, in order
};

}  // namespace zembric
