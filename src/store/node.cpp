#include "store/node.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "support/internal_error.h"
#include "support/seeded_hash.h"

namespace zembric {

namespace {

// Input counts are 32-bit in a node; no real list comes near the limit.
std::uint32_t checked_count(std::size_t size) {
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("a zembric node has at most 4294967295 inputs");
  }
  return static_cast<std::uint32_t>(size);
}

}  // namespace

Node::Node(NodeKind kind, std::string_view name, ParamMap&& params)
    : kind_(kind), name_(name), params_(std::move(params)) {
  init_extra();
}

void Node::set_inputs(std::span<const NodeId> ids) {
  const std::uint32_t count = checked_count(ids.size());
  NodeId* target = inputs_.local;
  if (count > InputList::kInline) {
    target = new NodeId[count];
    release_inputs();
    inputs_.heap = target;
  } else {
    release_inputs();
  }
  std::copy(ids.begin(), ids.end(), target);
  input_count_ = count;
}

void Node::take_inputs(InputList& list) noexcept {
  release_inputs();
  // The list's count fits: it was built from a sized sequence and checked by the caller.
  const auto count = static_cast<std::uint32_t>(list.size_);
  if (count > InputList::kInline) {
    inputs_.heap = list.heap_;
    list.size_ = 0;
    list.capacity_ = InputList::kInline;
  } else {
    // Element by element: a copy of variable length would be a library call for two words.
    const NodeId* source = list.data();
    for (std::uint32_t i = 0; i < InputList::kInline; ++i) {
      if (i < count) inputs_.local[i] = source[i];
    }
    list.release();
  }
  input_count_ = count;
}

Node Node::op(std::string name, ParamMap params, std::vector<NodeId> inputs) {
  Node node(NodeKind::Op, {}, std::move(params));
  node.name_ = std::move(name);
  node.set_inputs(inputs);
  return node;
}

Node Node::external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs) {
  Node node(NodeKind::External, {}, std::move(params));
  node.extra_.descriptor = SharedConst<PayloadDescriptor>::make(std::move(descriptor));
  node.set_inputs(inputs);
  return node;
}

Node Node::stage(std::vector<NodeId> inputs, std::vector<StageMember> members) {
  return stage(std::span<const NodeId>(inputs), StageMembers(members));
}

[[gnu::hot]] Node Node::stage(std::span<const NodeId> inputs, StageMembers members) {
  Node node(NodeKind::Stage, {}, {});
  node.extra_.members = std::move(members);
  node.set_inputs(inputs);
  return node;
}

Node Node::plain(NodeKind kind, std::string_view name, ParamMap params, InputList&& inputs) {
  if (kind == NodeKind::External || kind == NodeKind::Stage) {
    throw InternalError("Node::plain for a kind with out-of-line fields");
  }
  checked_count(inputs.size());
  Node node(kind, kind == NodeKind::Exchange ? std::string_view() : name, std::move(params));
  if (kind != NodeKind::Source) node.take_inputs(inputs);
  return node;
}

Node::Node(const Node& other) : Node(other, other.inputs()) {}

Node::Node(const Node& other, std::span<const NodeId> inputs)
    : kind_(other.kind_), name_(other.name_), params_(other.params_) {
  // The inputs first: should their array fail to allocate, no shared block has been counted yet,
  // and the destructor, which does not run for a constructor that throws, has nothing to drop.
  set_inputs(inputs);
  copy_extra(other.extra_);
}

Node& Node::operator=(Node&& other) noexcept {
  if (this != &other) {
    release_inputs();
    destroy_extra();
    kind_ = other.kind_;
    name_ = std::move(other.name_);
    params_ = std::move(other.params_);
    inputs_ = other.inputs_;
    input_count_ = std::exchange(other.input_count_, 0);
    move_extra(other.extra_);
  }
  return *this;
}

Node& Node::operator=(const Node& other) {
  if (this != &other) *this = Node(other);
  return *this;
}

const PayloadDescriptor& Node::descriptor() const {
  if (kind_ != NodeKind::External) throw InternalError("descriptor of a node that is not External");
  return *extra_.descriptor;
}

const StageMembers& Node::members() const noexcept {
  static const StageMembers none;
  if (kind_ != NodeKind::Stage) return none;
  return extra_.members;
}

[[gnu::hot]] Node Node::with_inputs(std::span<const NodeId> inputs) const& {
  return Node(*this, kind_ == NodeKind::Source ? std::span<const NodeId>() : inputs);
}

Node Node::with_inputs(std::span<const NodeId> inputs) && {
  Node moved(std::move(*this));
  if (moved.kind_ != NodeKind::Source) moved.set_inputs(inputs);
  return moved;
}

bool operator==(const Node& a, const Node& b) noexcept {
  // Cheapest fields first; a lookup compares only nodes whose hash bits agree, mostly equal ones.
  if (a.kind_ != b.kind_ || a.input_count_ != b.input_count_) return false;
  const auto a_inputs = a.inputs();
  return std::equal(a_inputs.begin(), a_inputs.end(), b.inputs().begin()) && same_shape(a, b);
}

bool same_shape(const Node& a, const Node& b) noexcept {
  if (a.kind_ != b.kind_ || a.name_ != b.name_ || a.params_ != b.params_) return false;
  switch (a.kind_) {
    case NodeKind::External: {
      const auto& x = a.extra_.descriptor;
      const auto& y = b.extra_.descriptor;
      // Only a node moved from lacks its descriptor.
      if (!x || !y) return !x && !y;
      return x.same_object(y) || *x == *y;
    }
    case NodeKind::Stage:
      return a.extra_.members == b.extra_.members;
    default:
      return true;
  }
}

namespace {

void hash_params(SeededHasher& h, const ParamMap& params) {
  h.add_u64(params.size());
  add_param_entries(h, params);
}

}  // namespace

NodeShapeHashes hash_node_and_shape(const Node& node, std::uint64_t seed) noexcept {
  SeededHasher h(seed);
  const std::string& name = node.name();
  // Kind and every length of the shape in one word: they only steer the hash (equality decides),
  // and the name's length keeps ("ab", "c") apart from ("a", "bc").
  h.add_u64(static_cast<std::uint64_t>(node.kind()) + (std::uint64_t{name.size()} << 8) +
            (std::uint64_t{node.params().size()} << 32));
  h.add_words(name);
  if (!node.params().empty()) hash_params(h, node.params());
  if (node.kind() == NodeKind::External) {
    add_descriptor(h, node.descriptor());
  } else if (node.kind() == NodeKind::Stage) {
    add_stage_members(h, node.members());
  }
  // The shape comes first, so that its hash falls out of the same pass.
  const std::uint64_t shape = h.finish();
  const auto inputs = node.inputs();
  h.add_u64(inputs.size());
  for (NodeId id : inputs)
    h.add_u64(id);
  return {h.finish(), shape};
}

std::uint64_t hash_node(const Node& node, std::uint64_t seed) noexcept {
  return hash_node_and_shape(node, seed).node;
}

}  // namespace zembric
