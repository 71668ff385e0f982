#include "store/store_core.h"

#include <algorithm>
#include <stdexcept>

#include "store/internal_error.h"
#include "store/seeded_hash.h"

namespace zembric {

namespace {

// Below this many nodes the list doubles as usual.
constexpr std::size_t kQuadrupleFrom = 4096;

}  // namespace

StoreCore::StoreCore() : seed_(fresh_hash_seed()) {}

Expected<NodeId, BadNodeId> StoreCore::intern(Node node) {
  // The seed never changes, so the hash needs no lock.
  const std::uint64_t hash = hash_node(node, seed_);
  Lock lock(*this);
  // The probe's first slot is most likely a cache miss: start loading it while checking inputs.
  index_.prefetch(hash);
  const NodeId count = nodes_.size();
  for (NodeId input : node.inputs()) {
    if (input >= count) return BadNodeId{input};
  }
  const std::uint32_t found =
      index_.find(hash, [&](std::uint32_t id) { return nodes_[id] == node; });
  if (found != FlatIdIndex::kNone) return NodeId{found};
  if (count >= FlatIdIndex::kMaxEntries) {
    throw std::length_error("a zembric graph store holds at most 4294967294 nodes");
  }
  if (nodes_.size() == nodes_.capacity() && nodes_.size() >= kQuadrupleFrom) {
    // Every growth moves every node and faults in fresh pages; capacity never touched costs
    // address space only, so big stores grow fourfold and move each node a third as often.
    nodes_.reserve(std::min<std::size_t>(4 * nodes_.size(), FlatIdIndex::kMaxEntries));
  }
  nodes_.push_back(std::move(node));
  index_.insert(hash, static_cast<std::uint32_t>(count));
  return count;
}

void StoreCore::reserve(std::uint64_t nodes) {
  Lock lock(*this);
  const std::uint64_t total =
      std::min<std::uint64_t>(nodes_.size() + nodes, FlatIdIndex::kMaxEntries);
  nodes_.reserve(static_cast<std::size_t>(total));
  index_.reserve(static_cast<std::size_t>(total));
}

std::uint64_t StoreCore::node_count() {
  Lock lock(*this);
  return nodes_.size();
}

std::optional<BadNodeId> StoreCore::mark_output(NodeId id) {
  Lock lock(*this);
  if (id >= nodes_.size()) return BadNodeId{id};
  // A bitmap instead of a scan of the marks: a blob may carry a mark for every node.
  if (marked_.size() <= id) marked_.resize(nodes_.size());
  if (!marked_[id]) {
    marked_[id] = true;
    outputs_.push_back(id);
  }
  return std::nullopt;
}

std::vector<NodeId> StoreCore::outputs() {
  Lock lock(*this);
  return outputs_;
}

StoreSnapshot StoreCore::snapshot() {
  Lock lock(*this);
  return StoreSnapshot{nodes_, outputs_};
}

std::vector<Node> StoreCore::nodes_copy() {
  Lock lock(*this);
  return nodes_;
}

std::vector<Node> StoreCore::nodes_since(std::uint64_t watermark) {
  Lock lock(*this);
  const std::size_t from =
      static_cast<std::size_t>(std::min<std::uint64_t>(watermark, nodes_.size()));
  return std::vector<Node>(nodes_.begin() + static_cast<std::ptrdiff_t>(from), nodes_.end());
}

}  // namespace zembric
