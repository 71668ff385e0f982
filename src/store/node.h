// Node: one record of the graph IR. A plain value: it owns its texts and lists and names its
// operands only by NodeId, so copying a node copies everything it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "store/param_map.h"

namespace zembric {

// Position of a node in its store; inputs always name earlier positions.
using NodeId = std::uint64_t;

// The codes are written into blobs.
enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5
};

// Reproducibility metadata of an External node; all six fields are part of its identity.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from the empty text

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

enum class MemberTokenKind : std::uint8_t { Input = 0, Member = 1 };

// input(k): the k-th input of the stage; member(p): the p-th (earlier) member of the stage.
struct MemberToken {
  MemberTokenKind kind;
  std::uint64_t index;

  friend bool operator==(const MemberToken&, const MemberToken&) = default;
};

// A fused operator inside a Stage: its canonical key and one token per operand.
struct StageMember {
  std::string key;
  std::vector<MemberToken> tokens;

  friend bool operator==(const StageMember&, const StageMember&) = default;
};

// An operand list being built: up to two ids in place, longer lists on the heap. Moving it into a
// node hands the storage over, so building a node from a call allocates nothing for short lists.
class InputList {
 public:
  static constexpr std::size_t kInline = 2;

  InputList() noexcept = default;
  InputList(const InputList&) = delete;
  InputList& operator=(const InputList&) = delete;
  InputList(InputList&& other) noexcept;
  InputList& operator=(InputList&& other) noexcept;
  ~InputList() {
    if (on_heap()) release();
  }

  std::size_t size() const noexcept { return size_; }
  const NodeId* data() const noexcept { return on_heap() ? heap_ : local_; }
  void clear() noexcept { size_ = 0; }
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  void push_back(NodeId id) {
    if (size_ == capacity_) grow(2 * capacity_);
    (on_heap() ? heap_ : local_)[size_++] = id;
  }

 private:
  friend class Node;
  bool on_heap() const noexcept { return capacity_ > kInline; }
  // Moves the ids to a heap array of `capacity`, more than the current one.
  void grow(std::size_t capacity);
  void release() noexcept;

  union {
    NodeId local_[kInline];
    NodeId* heap_;  // from new NodeId[capacity_]
  };
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

class Node {
 public:
  static Node op(std::string name, ParamMap params, std::vector<NodeId> inputs);
  static Node external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs);
  static Node stage(std::vector<NodeId> inputs, std::vector<StageMember> members);
  // The same from inputs held elsewhere, copied once into the node.
  static Node stage(std::span<const NodeId> inputs, std::vector<StageMember> members);
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
        inputs_(other.inputs_),
        extra_(std::move(other.extra_)) {}
  Node& operator=(Node&& other) noexcept;
  ~Node() { release_inputs(); }

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
  std::span<const StageMember> members() const noexcept;

  // A copy with the input list replaced; a Source ignores the list. The rvalue form moves the
  // other fields instead of copying them.
  Node with_inputs(std::vector<NodeId> inputs) const&;
  Node with_inputs(std::vector<NodeId> inputs) &&;

  friend bool operator==(const Node& a, const Node& b) noexcept;

 private:
  using Extra = std::variant<PayloadDescriptor, std::vector<StageMember>>;

  Node(NodeKind kind, std::string name, ParamMap params, std::unique_ptr<Extra> extra) noexcept;
  Node(NodeKind kind, std::string_view name, ParamMap&& params);
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
  // The rare, bulky fields of External and Stage, kept out of line so that common nodes stay small.
  std::unique_ptr<Extra> extra_;
};

// Seeded hash that agrees with Node equality (floats through the NaN canonicalisation).
std::uint64_t hash_node(const Node& node, std::uint64_t seed) noexcept;

}  // namespace zembric
