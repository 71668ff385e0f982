#include "store/node.h"

#include "store/internal_error.h"
#include "store/seeded_hash.h"

namespace zembric {

Node::Node(NodeKind kind, std::string name, ParamMap params, std::vector<NodeId> inputs,
           std::unique_ptr<Extra> extra)
    : kind_(kind),
      name_(std::move(name)),
      params_(std::move(params)),
      inputs_(std::move(inputs)),
      extra_(std::move(extra)) {}

Node Node::source(std::string name, ParamMap params) {
  return Node(NodeKind::Source, std::move(name), std::move(params), {}, nullptr);
}

Node Node::op(std::string name, ParamMap params, std::vector<NodeId> inputs) {
  return Node(NodeKind::Op, std::move(name), std::move(params), std::move(inputs), nullptr);
}

Node Node::reduction(std::string name, ParamMap params, std::vector<NodeId> inputs) {
  return Node(NodeKind::Reduction, std::move(name), std::move(params), std::move(inputs), nullptr);
}

Node Node::external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs) {
  return Node(NodeKind::External, {}, std::move(params), std::move(inputs),
              std::make_unique<Extra>(std::in_place_index<0>, std::move(descriptor)));
}

Node Node::stage(std::vector<NodeId> inputs, std::vector<StageMember> members) {
  return Node(NodeKind::Stage, {}, {}, std::move(inputs),
              std::make_unique<Extra>(std::in_place_index<1>, std::move(members)));
}

Node Node::exchange(ParamMap params, std::vector<NodeId> inputs) {
  return Node(NodeKind::Exchange, {}, std::move(params), std::move(inputs), nullptr);
}

Node::Node(const Node& other)
    : kind_(other.kind_),
      name_(other.name_),
      params_(other.params_),
      inputs_(other.inputs_),
      extra_(other.extra_ ? std::make_unique<Extra>(*other.extra_) : nullptr) {}

Node& Node::operator=(const Node& other) {
  if (this != &other) *this = Node(other);
  return *this;
}

const PayloadDescriptor& Node::descriptor() const {
  if (kind_ != NodeKind::External) throw InternalError("descriptor of a node that is not External");
  return std::get<0>(*extra_);
}

std::span<const StageMember> Node::members() const noexcept {
  if (kind_ != NodeKind::Stage) return {};
  return std::get<1>(*extra_);
}

Node Node::with_inputs(std::vector<NodeId> inputs) const& {
  Node copy(kind_, name_, params_, {}, extra_ ? std::make_unique<Extra>(*extra_) : nullptr);
  if (kind_ != NodeKind::Source) copy.inputs_ = std::move(inputs);
  return copy;
}

Node Node::with_inputs(std::vector<NodeId> inputs) && {
  Node moved(std::move(*this));
  if (moved.kind_ != NodeKind::Source) moved.inputs_ = std::move(inputs);
  return moved;
}

bool operator==(const Node& a, const Node& b) noexcept {
  if (a.kind_ != b.kind_ || a.name_ != b.name_ || a.params_ != b.params_ ||
      a.inputs_ != b.inputs_) {
    return false;
  }
  if (a.extra_ == nullptr || b.extra_ == nullptr) return a.extra_ == b.extra_;
  return *a.extra_ == *b.extra_;
}

namespace {

void hash_params(SeededHasher& h, const ParamMap& params) {
  h.add_u64(params.size());
  for (const auto& [key, value] : params) {
    h.add_bytes(key);
    h.add_u64(static_cast<std::uint64_t>(value.type()));
    switch (value.type()) {
      case ParamType::Int:
        h.add_u64(static_cast<std::uint64_t>(value.as_int()));
        break;
      case ParamType::Float:
        h.add_u64(canonical_float_bits(value.as_float()));
        break;
      case ParamType::Bool:
        h.add_u64(value.as_bool() ? 1 : 0);
        break;
      case ParamType::Str:
        h.add_bytes(value.as_str());
        break;
    }
  }
}

}  // namespace

std::uint64_t hash_node(const Node& node, std::uint64_t seed) noexcept {
  SeededHasher h(seed);
  h.add_u64(static_cast<std::uint64_t>(node.kind()));
  h.add_bytes(node.name());
  hash_params(h, node.params());
  const auto inputs = node.inputs();
  h.add_u64(inputs.size());
  for (NodeId id : inputs) h.add_u64(id);
  if (node.kind() == NodeKind::External) {
    const PayloadDescriptor& d = node.descriptor();
    h.add_bytes(d.kind);
    h.add_bytes(d.content_hash);
    h.add_bytes(d.framework);
    h.add_bytes(d.version);
    h.add_bytes(d.io_schema);
    h.add_u64(d.preprocessing_ref.has_value());
    if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
  } else if (node.kind() == NodeKind::Stage) {
    const auto members = node.members();
    h.add_u64(members.size());
    for (const StageMember& m : members) {
      h.add_bytes(m.key);
      h.add_u64(m.tokens.size());
      for (const MemberToken& t : m.tokens) {
        h.add_u64(static_cast<std::uint64_t>(t.kind));
        h.add_u64(t.index);
      }
    }
  }
  return h.finish();
}

}  // namespace zembric
