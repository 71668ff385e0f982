// Node: one record of the graph IR. A plain value that names its operands only by NodeId. Its
// params and the out-of-line fields of an External or a Stage never change once built, so copies
// share them; a copy owns its name and operand list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/input_list.h"
#include "store/node_id.h"
#include "store/param_map.h"
#include "store/payload_descriptor.h"
#include "store/stage_member.h"
#include "support/shared_const.h"

namespace zembric {

// The codes are written into blobs.
enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5
};

class Node {
 public:
  static Node op(std::string name, ParamMap params, std::vector<NodeId> inputs);
  static Node external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs);
  static Node stage(std::vector<NodeId> inputs, std::vector<StageMember> members);
  // The same from inputs held elsewhere, copied once into the node, and members already flat.
  static Node stage(std::span<const NodeId> inputs, StageMembers members);
  // A Source, Op, Reduction or Exchange (the kinds without out-of-line fields) that takes over
  // the storage of `inputs`; a Source ignores the list, an Exchange the name. The name is copied
  // once, straight into the node.
  static Node plain(NodeKind kind, std::string_view name, ParamMap params, InputList&& inputs);

  Node(const Node& other);
  Node& operator=(const Node& other);
  // Inline: interning moves every new node twice on its way into the store.
  Node(Node&& other) noexcept
      : kind_(other.kind_),
        input_count_(std::exchange(other.input_count_, 0)),
        name_(std::move(other.name_)),
        params_(std::move(other.params_)),
        inputs_(other.inputs_) {
    move_extra(other.extra_);
  }
  Node& operator=(Node&& other) noexcept;
  ~Node() {
    release_inputs();
    destroy_extra();
  }

  NodeKind kind() const noexcept { return kind_; }
  // The name of a Source, Op or Reduction; empty for the other kinds.
  const std::string& name() const noexcept { return name_; }
  // Empty for a Stage.
  const ParamMap& params() const noexcept { return params_; }
  // Empty for a Source.
  std::span<const NodeId> inputs() const noexcept {
    return {input_count_ > InputList::kInline ? inputs_.heap : inputs_.local, input_count_};
  }
  // Only for an External.
  const PayloadDescriptor& descriptor() const;
  // Only for a Stage; empty for the other kinds.
  const StageMembers& members() const noexcept;

  // A copy with the input list replaced; a Source ignores the list. The rvalue form moves the
  // other fields instead of copying them.
  Node with_inputs(std::span<const NodeId> inputs) const&;
  Node with_inputs(std::span<const NodeId> inputs) &&;

  friend bool operator==(const Node& a, const Node& b) noexcept;
  // Equal apart from the inputs: the same kind, name, params and descriptor or members.
  friend bool same_shape(const Node& a, const Node& b) noexcept;

 private:
  // The rare, bulky fields of External and Stage, out of line so that common nodes stay small: an
  // External's descriptor or a Stage's members, as kind_ says, each one pointer to a block that
  // copies share; nothing for the other kinds. Every constructor makes the alternative of kind_.
  union Extra {
    Extra() noexcept {}
    ~Extra() {}
    SharedConst<PayloadDescriptor> descriptor;
    StageMembers members;
  };

  // The empty alternative of kind_, or the one `other` (of the same kind) holds.
  void init_extra() noexcept {
    if (kind_ == NodeKind::External) {
      new (&extra_.descriptor) SharedConst<PayloadDescriptor>();
    } else if (kind_ == NodeKind::Stage) {
      new (&extra_.members) StageMembers();
    }
  }
  void copy_extra(const Extra& other) noexcept {
    if (kind_ == NodeKind::External) {
      new (&extra_.descriptor) SharedConst<PayloadDescriptor>(other.descriptor);
    } else if (kind_ == NodeKind::Stage) {
      new (&extra_.members) StageMembers(other.members);
    }
  }
  void move_extra(Extra& other) noexcept {
    if (kind_ == NodeKind::External) {
      new (&extra_.descriptor) SharedConst<PayloadDescriptor>(std::move(other.descriptor));
    } else if (kind_ == NodeKind::Stage) {
      new (&extra_.members) StageMembers(std::move(other.members));
    }
  }
  void destroy_extra() noexcept {
    if (kind_ == NodeKind::External) {
      extra_.descriptor.~SharedConst();
    } else if (kind_ == NodeKind::Stage) {
      extra_.members.~StageMembers();
    }
  }

  Node(NodeKind kind, std::string_view name, ParamMap&& params);
  // A copy of `other` with `inputs` instead of its own.
  Node(const Node& other, std::span<const NodeId> inputs);
  void set_inputs(std::span<const NodeId> ids);
  void take_inputs(InputList& list) noexcept;
  void release_inputs() noexcept {
    if (input_count_ > InputList::kInline) delete[] inputs_.heap;
    input_count_ = 0;
  }

  // Operands live in place up to InputList::kInline, else in an exact-size heap array: common
  // nodes then need no allocation beyond their texts.
  union Inputs {
    NodeId local[InputList::kInline];
    NodeId* heap;
  };

  NodeKind kind_;
  std::uint32_t input_count_ = 0;
  std::string name_;
  ParamMap params_;
  Inputs inputs_;
  Extra extra_;
};

// Seeded hash that agrees with Node equality (floats compared as float_identity_bits).
std::uint64_t hash_node(const Node& node, std::uint64_t seed) noexcept;

// The node's hash as hash_node gives it, and from the same pass a hash that agrees with
// same_shape.
struct NodeShapeHashes {
  std::uint64_t node;
  std::uint64_t shape;
};
NodeShapeHashes hash_node_and_shape(const Node& node, std::uint64_t seed) noexcept;

}  // namespace zembric
