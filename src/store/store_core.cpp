#include "store/store_core.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>

#include "support/internal_error.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {

namespace {

// Below this many nodes the list doubles as usual.
constexpr std::size_t kQuadrupleFrom = 4096;

// Below this many nodes, intern() gives each new node its shape. A small graph's reduction is then
// spared a pass over the nodes' params and descriptors, which costs it most when the caches have
// gone cold, as they have between calls; in a big one that pass is a small share, and building
// the store stays as cheap as it was.
constexpr std::size_t kShapedOnIntern = 1024;

}  // namespace

[[gnu::hot]] StoreCore::StoreCore() : seed_(fresh_hash_seed()) {}

Expected<NodeId, BadNodeId> StoreCore::intern(Node&& node) {
  // The seed never changes, so the hash needs no lock.
  const NodeShapeHashes hashes = hash_node_and_shape(node, seed_);
  // Strong guarantee: the list grows before the index claims a slot, so a failure for memory
  // leaves both as they were.
  return locked([&] {
    // The probe's first slot is most likely a cache miss: start loading it while checking inputs.
    index_.prefetch(hashes.node);
    return intern_locked(std::move(node), hashes);
  });
}

Expected<NodeId, BadNodeId> StoreCore::intern_locked(Node&& node, NodeShapeHashes hashes) {
  const std::uint64_t hash = hashes.node;
  const NodeId count = nodes_.size();
  for (NodeId input : node.inputs()) {
    if (input >= count) return BadNodeId{input};
  }
  if (indexed_ < count) [[unlikely]]
    index_adopted_locked();
  auto same = [&](std::uint32_t id) { return nodes_[id] == node; };
  if (count >= FlatIdIndex::kMaxEntries) [[unlikely]] {
    const std::uint32_t found = index_.find(hash, same);
    if (found != kNoIndex) return NodeId{found};
    throw std::length_error("a zembric graph store holds at most 4294967294 nodes");
  }
  if (nodes_.size() == nodes_.capacity()) {
    // Every growth moves every node and faults in fresh pages; capacity never touched costs
    // address space only, so big stores grow fourfold and move each node a third as often.
    nodes_.reserve(nodes_.size() < kQuadrupleFrom
                       ? std::max<std::size_t>(2 * nodes_.size(), 1)
                       : std::min<std::size_t>(4 * nodes_.size(), FlatIdIndex::kMaxEntries));
  }
  // One probe finds an equal node or claims the slot for the new one. The list has room, so the
  // append below (a noexcept move) cannot fail and leave the index naming a missing node.
  const std::uint32_t found = index_.find_or_insert(hash, static_cast<std::uint32_t>(count), same);
  if (found != kNoIndex) return NodeId{found};
  nodes_.push_back(std::move(node));
  indexed_ = nodes_.size();
  count_hint_.store(nodes_.size(), std::memory_order_relaxed);
  if (count < kShapedOnIntern && shapes_.shaped() == count) {
    try {
      shapes_.add_next(nodes_, hashes.shape);
    } catch (const std::bad_alloc&) {
      // The node is in all the same. Shaping stops here, and reductions key the nodes past the
      // shaped ones from their content, as they do in a big store.
    }
  }
  return count;
}

void StoreCore::index_adopted_locked() {
  // Room first: once the table has it, no insertion below can fail and leave a node half-indexed.
  index_.reserve(nodes_.size());
  for (std::size_t id = indexed_; id < nodes_.size(); ++id) {
    const Node& node = nodes_[id];
    const std::uint32_t found =
        index_.find_or_insert(hash_node(node, seed_), static_cast<std::uint32_t>(id),
                              [&](std::uint32_t other) { return nodes_[other] == node; });
    if (found != kNoIndex) {
      throw InternalError("an adopted node list holds two equal nodes: ids " +
                          std::to_string(found) + " and " + std::to_string(id));
    }
    indexed_ = id + 1;
  }
}

void StoreCore::reserve(std::uint64_t nodes) {
  locked([&] { reserve_locked(nodes); });
}

void StoreCore::reserve_locked(std::uint64_t nodes) {
  const std::uint64_t total =
      std::min<std::uint64_t>(nodes_.size() + nodes, FlatIdIndex::kMaxEntries);
  nodes_.reserve(static_cast<std::size_t>(total));
  index_.reserve(static_cast<std::size_t>(total));
}

[[gnu::hot]] StoreCore::Builder::~Builder() {
  const std::size_t indexed = store_.nodes_.size() - pending_hashes_.size();
  store_.nodes_.erase(store_.nodes_.begin() + static_cast<std::ptrdiff_t>(indexed),
                      store_.nodes_.end());
  store_.count_hint_.store(store_.nodes_.size(), std::memory_order_relaxed);
}

void StoreCore::Builder::reserve(std::uint64_t nodes) {
  store_.reserve_locked(nodes);
  pending_hashes_.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(pending_hashes_.size() + nodes, FlatIdIndex::kMaxEntries)));
}

std::optional<BadNodeId> StoreCore::Builder::append(Node&& node) {
  auto& nodes = store_.nodes_;
  const NodeId count = nodes.size();
  for (NodeId input : node.inputs()) {
    if (input >= count) return BadNodeId{input};
  }
  if (count >= FlatIdIndex::kMaxEntries) [[unlikely]] {
    throw std::length_error("a zembric graph store holds at most 4294967294 nodes");
  }
  // Hashed now, while the node's fields are in the cache.
  pending_hashes_.push_back(hash_node(node, store_.seed_));
  nodes.push_back(std::move(node));
  return std::nullopt;
}

[[gnu::hot]] void StoreCore::Builder::adopt_distinct(NodeList&& nodes) {
  if (!store_.nodes_.empty() || !pending_hashes_.empty()) {
    throw InternalError("a store adopts a node list only while empty");
  }
  if (nodes.size() > FlatIdIndex::kMaxEntries) [[unlikely]] {
    throw std::length_error("a zembric graph store holds at most 4294967294 nodes");
  }
  store_.nodes_ = std::move(nodes);
  store_.count_hint_.store(store_.nodes_.size(), std::memory_order_relaxed);
}

Expected<std::vector<NodeId>, BadNodeId> StoreCore::Builder::index_appended() {
  // Far enough ahead to overlap several misses, near enough that the prefetched lines survive.
  constexpr std::size_t kAhead = 8;
  auto& nodes = store_.nodes_;
  FlatIdIndex& index = store_.index_;
  const std::size_t first = nodes.size() - pending_hashes_.size();
  const std::size_t pending = pending_hashes_.size();
  // Grown up front, so that no growth moves the slots under the prefetches.
  index.reserve(nodes.size());
  for (std::size_t k = 0; k < std::min(pending, kAhead); ++k)
    index.prefetch(pending_hashes_[k]);
  std::vector<Node> rest;
  for (std::size_t k = 0; k < pending; ++k) {
    if (k + kAhead < pending) index.prefetch(pending_hashes_[k + kAhead]);
    const std::size_t id = first + k;
    const Node& node = nodes[id];
    const std::uint32_t found =
        index.find_or_insert(pending_hashes_[k], static_cast<std::uint32_t>(id),
                             [&](std::uint32_t other) { return nodes[other] == node; });
    if (found != kNoIndex) {
      // The nodes before this one are indexed now; should the copy below fail, the destructor
      // drops exactly the others.
      pending_hashes_.erase(pending_hashes_.begin(),
                            pending_hashes_.begin() + static_cast<std::ptrdiff_t>(k));
      const auto from = nodes.begin() + static_cast<std::ptrdiff_t>(id);
      rest.reserve(static_cast<std::size_t>(nodes.end() - from));
      rest.insert(rest.end(), std::make_move_iterator(from), std::make_move_iterator(nodes.end()));
      nodes.erase(from, nodes.end());
      break;
    }
  }
  pending_hashes_.clear();
  store_.indexed_ = nodes.size();
  std::vector<NodeId> id_of;
  if (rest.empty()) return id_of;

  // The nodes left over name positions; each is interned with its inputs translated to ids.
  id_of.reserve(nodes.size() + rest.size());
  for (NodeId position = 0; position < nodes.size(); ++position)
    id_of.push_back(position);
  std::vector<NodeId> translated;
  for (Node& node : rest) {
    const auto inputs = node.inputs();
    translated.assign(inputs.begin(), inputs.end());
    for (NodeId& id : translated)
      id = id_of[id];
    auto id = intern(std::move(node).with_inputs(translated));
    if (!id) return std::move(id).error();
    id_of.push_back(id.value());
  }
  return id_of;
}

Expected<NodeId, BadNodeId> StoreCore::Builder::intern(Node&& node) {
  if (!pending_hashes_.empty()) {
    throw InternalError("a store builder interns only after indexing its appended nodes");
  }
  const NodeShapeHashes hashes = hash_node_and_shape(node, store_.seed_);
  return store_.intern_locked(std::move(node), hashes);
}

std::uint64_t StoreCore::node_count() {
  return locked([&] { return std::uint64_t{nodes_.size()}; });
}

std::optional<BadNodeId> StoreCore::mark_output(NodeId id) {
  return locked([&] { return mark_output_locked(id); });
}

[[gnu::hot]] std::optional<BadNodeId> StoreCore::mark_output_locked(NodeId id) {
  if (id >= nodes_.size()) return BadNodeId{id};
  // A bitmap instead of a scan of the marks: a blob may carry a mark for every node.
  // Both may fail for memory; the mark is set only once the list holds it.
  if (marked_.size() <= id) marked_.resize(nodes_.size());
  if (!marked_[id]) {
    marks_.push_back(id);
    marked_[id] = 1;
  }
  return std::nullopt;
}

std::vector<NodeId> StoreCore::marks() {
  return locked([&] { return marks_; });
}

StoreSnapshot StoreCore::snapshot() {
  return locked([&] { return StoreSnapshot{{nodes_.begin(), nodes_.end()}, marks_}; });
}

std::vector<Node> StoreCore::nodes_since(std::uint64_t watermark) {
  return locked([&] {
    const std::size_t from =
        static_cast<std::size_t>(std::min<std::uint64_t>(watermark, nodes_.size()));
    return std::vector<Node>(nodes_.begin() + static_cast<std::ptrdiff_t>(from), nodes_.end());
  });
}

}  // namespace zembric
