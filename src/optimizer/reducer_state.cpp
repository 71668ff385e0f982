#include "optimizer/reducer_state.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>
#include <string_view>

#include "optimizer/reduction_pipeline.h"
#include "store/seeded_hash.h"

namespace zembric {

bool has_identity_key(const Node& node) noexcept {
  if (node.kind() != NodeKind::Op || node.params().size() != 2) return false;
  double neutral;
  if (node.name() == "add") {
    neutral = 0.0;
  } else if (node.name() == "mul") {
    neutral = 1.0;
  } else {
    return false;
  }
  const auto entries = node.params().entries();
  const ParamEntry& scalar = entries[0];
  const ParamEntry& side = entries[1];
  // Bits, not ==: -0.0 is not an identity key, and the canonical key encodes bits.
  return scalar.first == "scalar" && scalar.second.type() == ParamType::Float &&
         std::bit_cast<std::uint64_t>(scalar.second.as_float()) ==
             std::bit_cast<std::uint64_t>(neutral) &&
         side.first == "side" && side.second.type() == ParamType::Str &&
         (side.second.as_str() == "r" || side.second.as_str() == "l");
}

bool has_commutative_name(const Node& node) noexcept {
  static constexpr std::array<std::string_view, 8> kNames = {"add", "mul", "and",     "or",
                                                             "eq",  "ne",  "maximum", "minimum"};
  return node.kind() == NodeKind::Op &&
         std::find(kNames.begin(), kNames.end(), node.name()) != kNames.end();
}

ReducerState::ReducerState() : seed_(fresh_hash_seed()) {}

std::uint32_t ReducerState::lookup(const Node& node, std::uint64_t hash) const {
  return hashcons_.find(hash, [&](std::uint32_t id) { return canonical_[id] == node; });
}

NodeId ReducerState::append(Node node, std::uint64_t hash) {
  const NodeId id = canonical_.size();
  if (id >= FlatIdIndex::kMaxEntries) {
    throw std::length_error("an incremental reducer holds at most 4294967294 canonical nodes");
  }
  canonical_.push_back(std::move(node));
  hashcons_.insert(hash, static_cast<std::uint32_t>(id));
  return id;
}

Expected<std::uint64_t, BadNodeId> ReducerState::consume(std::vector<Node> delta) {
  std::vector<NodeId> inputs;
  for (Node& node : delta) {
    inputs.clear();
    for (NodeId input : node.inputs()) {
      if (input >= id_map_.size()) return BadNodeId{input};
      inputs.push_back(id_map_[input]);
    }
    Node m = std::move(node).with_inputs(inputs);

    // Only a one-operand identity is its operand: the rewrite rules match exactly that shape,
    // and dropping further operands would lose them.
    if (m.inputs().size() == 1 && has_identity_key(m)) {
      id_map_.push_back(m.inputs()[0]);
      continue;
    }

    const std::uint64_t hash = hash_node(m, seed_);
    std::uint32_t found = lookup(m, hash);
    if (found == FlatIdIndex::kNone && m.inputs().size() == 2 && m.params().empty() &&
        has_commutative_name(m)) {
      const Node swapped = m.with_inputs({m.inputs()[1], m.inputs()[0]});
      found = lookup(swapped, hash_node(swapped, seed_));
    }
    id_map_.push_back(found != FlatIdIndex::kNone ? NodeId{found} : append(std::move(m), hash));
  }
  total_ += delta.size();
  return static_cast<std::uint64_t>(delta.size());
}

Expected<ReducedGraph, BadNodeId> ReducerState::reduce_canonical(std::span<const NodeId> outputs,
                                                                 const RewriteEngine& engine,
                                                                 bool maximal_fusion) const {
  std::vector<NodeId> roots;
  roots.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (id >= id_map_.size()) return BadNodeId{id};
    roots.push_back(id_map_[id]);
  }
  return reduce_graph(canonical_, roots, engine, maximal_fusion);
}

}  // namespace zembric
