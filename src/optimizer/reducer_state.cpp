#include "optimizer/reducer_state.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "optimizer/reduction_pipeline.h"
#include "optimizer/rewrite_rules.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {

ReducerState::ReducerState() : seed_(fresh_hash_seed()) {}

namespace {

// The fields only externals and stages carry. Rare in a delta, so kept out of line: a small step
// runs cold, and every hot cache line of code it touches costs a miss.
[[gnu::noinline]] void add_rare_fields(SeededHasher& h, const Node& node) {
  if (node.kind() == NodeKind::External) {
    add_descriptor(h, node.descriptor());
  } else if (node.kind() == NodeKind::Stage) {
    add_stage_members(h, node.members());
  }
}

// Hash of `node` with its inputs replaced by `inputs`, blind to their order when `commutative`
// so that both orders probe the same slots. Agrees with same_node.
std::uint64_t canonical_hash(const Node& node, std::span<const NodeId> inputs, bool commutative,
                             std::uint64_t seed) noexcept {
  SeededHasher h(seed);
  const std::string& name = node.name();
  const ParamMap& params = node.params();
  h.add_u64(static_cast<std::uint64_t>(node.kind()) + (std::uint64_t{name.size()} << 8) +
            (std::uint64_t{inputs.size()} << 32) + (std::uint64_t{params.size()} << 48));
  h.add_words(name);
  if (commutative) {
    h.add_u64(std::min(inputs[0], inputs[1]));
    h.add_u64(std::max(inputs[0], inputs[1]));
  } else {
    for (NodeId id : inputs)
      h.add_u64(id);
  }
  add_param_entries(h, params);
  if (node.kind() == NodeKind::External || node.kind() == NodeKind::Stage) add_rare_fields(h, node);
  return h.finish();
}

// The descriptor of two externals, or the members of two stages, compared out of line for the
// reason add_rare_fields is.
[[gnu::noinline]] bool same_rare_fields(const Node& canonical, const Node& node) {
  if (node.kind() == NodeKind::External) return canonical.descriptor() == node.descriptor();
  return canonical.members() == node.members();
}

// Node equality between `canonical` and `node` with its inputs replaced by `inputs` (or by them
// swapped, when `commutative`), field by field, so that a store node is never copied to be probed.
bool same_node(const Node& canonical, const Node& node, std::span<const NodeId> inputs,
               bool commutative) {
  const std::span<const NodeId> held = canonical.inputs();
  if (canonical.kind() != node.kind() || held.size() != inputs.size()) return false;
  if (!std::equal(held.begin(), held.end(), inputs.begin()) &&
      !(commutative && held[0] == inputs[1] && held[1] == inputs[0])) {
    return false;
  }
  if (canonical.name() != node.name() || canonical.params() != node.params()) return false;
  return (node.kind() != NodeKind::External && node.kind() != NodeKind::Stage) ||
         same_rare_fields(canonical, node);
}

// Makes room for `more` items, growing the capacity at least `factor`-fold when it must grow.
template <class T>
[[gnu::noinline]] void grow(std::vector<T>& list, std::size_t needed, std::size_t factor) {
  list.reserve(std::max(needed, factor * list.capacity()));
}

template <class T>
void reserve_for(std::vector<T>& list, std::size_t more, std::size_t factor) {
  const std::size_t needed = list.size() + more;
  if (needed > list.capacity()) [[unlikely]]
    grow(list, needed, factor);
}

// Copies an external or a stage with new inputs; out of line for the reason add_rare_fields is.
[[gnu::noinline]] Node rare_with_inputs(const Node& node, std::span<const NodeId> inputs) {
  return node.with_inputs(inputs);
}

[[noreturn, gnu::noinline]] void throw_too_many_canonical() {
  throw std::length_error("an incremental reducer holds at most 4294967294 canonical nodes");
}

}  // namespace

std::uint32_t ReducerState::lookup(const Node& node, std::span<const NodeId> inputs,
                                   bool commutative, std::uint64_t hash) const {
  // The canonical form never holds both orders of a commutative node, so one probe sequence
  // finds whichever order came first.
  return index_.find(
      hash, [&](std::uint32_t id) { return same_node(canonical_[id], node, inputs, commutative); });
}

NodeId ReducerState::append(const Node& node, std::span<const NodeId> inputs, std::uint64_t hash) {
  const NodeId id = canonical_.size();
  if (id >= FlatIdIndex::kMaxEntries) throw_too_many_canonical();
  if (node.kind() == NodeKind::External || node.kind() == NodeKind::Stage) {
    canonical_.push_back(rare_with_inputs(node, inputs));
  } else {
    // Up to two inputs fit in the list itself: no allocation beyond the copied texts.
    InputList list;
    list.reserve(inputs.size());
    for (NodeId input : inputs)
      list.push_back(input);
    canonical_.push_back(Node::plain(node.kind(), node.name(), node.params(), std::move(list)));
  }
  index_.insert(hash, static_cast<std::uint32_t>(id));
  return id;
}

void ReducerState::rollback(const Checkpoint& to) noexcept {
  // Canonical nodes are removed newest first, each with its hash-cons entry; the hash is
  // recomputed from the node, whose inputs are the translated ones it was hashed with.
  while (canonical_.size() > to.canonical) {
    const Node& node = canonical_.back();
    const auto inputs = node.inputs();
    const bool commutative =
        inputs.size() == 2 && node.params().empty() && has_commutative_name(node);
    index_.erase(canonical_hash(node, inputs, commutative, seed_),
                 static_cast<std::uint32_t>(canonical_.size() - 1));
    canonical_.pop_back();
  }
  id_map_.resize(std::min(id_map_.size(), to.consumed));
  total_ = to.total;
}

Expected<std::uint64_t, BadNodeId> ReducerState::consume(std::span<const Node> delta) {
  const Checkpoint before = checkpoint();
  try {
    return consume_nodes(delta);
  } catch (...) {
    rollback(before);
    throw;
  }
}

Expected<std::uint64_t, BadNodeId> ReducerState::consume_nodes(std::span<const Node> delta) {
  // Every node takes one map entry and at most one canonical slot: room for the whole delta at
  // once, and geometric growth, so that small steps do not reallocate once each. Growing the node
  // list moves every node, and untouched capacity costs address space only, so it grows fourfold.
  reserve_for(id_map_, delta.size(), 2);
  reserve_for(canonical_, delta.size(), 4);

  for (const Node& node : delta) {
    inputs_.clear();
    for (NodeId input : node.inputs()) {
      if (input >= id_map_.size()) return BadNodeId{input};
      inputs_.push_back(id_map_[input]);
    }

    // Only a one-operand identity is its operand: the rewrite rules match exactly that shape,
    // and dropping further operands would lose them.
    if (inputs_.size() == 1 && has_identity_key(node)) {
      id_map_.push_back(inputs_[0]);
      continue;
    }

    const bool commutative =
        inputs_.size() == 2 && node.params().empty() && has_commutative_name(node);
    const std::uint64_t hash = canonical_hash(node, inputs_, commutative, seed_);
    const std::uint32_t found = lookup(node, inputs_, commutative, hash);
    id_map_.push_back(found != kNoIndex ? NodeId{found} : append(node, inputs_, hash));
  }
  total_ += delta.size();
  return static_cast<std::uint64_t>(delta.size());
}

Expected<ReducedGraph, BadNodeId> ReducerState::reduce_canonical(std::span<const NodeId> outputs,
                                                                 const RewriteEngine& engine,
                                                                 bool maximal_fusion,
                                                                 bool with_map) const {
  std::vector<NodeId> roots;
  roots.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (id >= id_map_.size()) return BadNodeId{id};
    roots.push_back(id_map_[id]);
  }
  return reduce_graph(canonical_, roots, engine, maximal_fusion, with_map);
}

}  // namespace zembric
