// ENode: an operator symbol applied to child e-classes. Up to four children live inline, so the
// common unary, binary and ternary operators never touch the heap.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "egraph/class_id.h"
#include "egraph/symbol.h"

namespace zembric::egraph {

class ENode {
 public:
  static constexpr std::uint32_t kInlineChildren = 4;

  ENode() : op_(0), arity_(0), inline_{} {}
  ENode(Symbol op, std::span<const ClassId> children);
  ENode(Symbol op, std::initializer_list<ClassId> children)
      : ENode(op, std::span<const ClassId>(children.begin(), children.size())) {}
  ENode(const ENode& other) : ENode(other.op_, other.children()) {}
  ENode(ENode&& other) noexcept;
  ENode& operator=(const ENode& other);
  ENode& operator=(ENode&& other) noexcept;
  ~ENode() { release(); }

  Symbol op() const { return op_; }
  std::uint32_t arity() const { return arity_; }
  std::span<const ClassId> children() const { return {data(), arity_}; }
  std::span<ClassId> children() { return {data(), arity_}; }

  // Same operator and number of children; the children themselves are not compared.
  bool matches(const ENode& other) const { return op_ == other.op_ && arity_ == other.arity_; }

  std::uint64_t hash() const;

  friend bool operator==(const ENode& a, const ENode& b);
  // Operator by numeric value, then children element-wise; a prefix orders first.
  friend std::strong_ordering operator<=>(const ENode& a, const ENode& b);

 private:
  bool on_heap() const { return arity_ > kInlineChildren; }
  const ClassId* data() const { return on_heap() ? heap_ : inline_; }
  ClassId* data() { return on_heap() ? heap_ : inline_; }
  void release() {
    if (on_heap()) delete[] heap_;
  }

  Symbol op_;
  std::uint32_t arity_;
  union {
    ClassId inline_[kInlineChildren];
    ClassId* heap_;
  };
};

struct ENodeHash {
  std::uint64_t operator()(const ENode& node) const { return node.hash(); }
};

}  // namespace zembric::egraph
