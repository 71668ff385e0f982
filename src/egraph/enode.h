// ENode: an operator symbol applied to child e-classes. Up to four children live inline, so the
// common unary, binary and ternary operators never touch the heap.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>

#include "egraph/symbol.h"
#include "egraph/union_find.h"
#include "support/hash_mixing.h"

namespace zembric::egraph {

class ENode {
 public:
  static constexpr std::uint32_t kInlineChildren = 4;

  ENode() : op_(0), arity_(0), inline_{} {}
  ENode(Symbol op, std::span<const ClassId> children)
      : op_(op), arity_(static_cast<std::uint32_t>(children.size())), inline_{} {
    // Unrolled for the inline sizes: a counted copy would become a library call.
    static_assert(kInlineChildren == 4);
    switch (arity_) {
      case 4:
        inline_[3] = children[3];
        [[fallthrough]];
      case 3:
        inline_[2] = children[2];
        [[fallthrough]];
      case 2:
        inline_[1] = children[1];
        [[fallthrough]];
      case 1:
        inline_[0] = children[0];
        [[fallthrough]];
      case 0:
        break;
      default:
        heap_ = new ClassId[arity_];
        std::copy(children.begin(), children.end(), heap_);
    }
  }
  ENode(Symbol op, std::initializer_list<ClassId> children)
      : ENode(op, std::span<const ClassId>(children.begin(), children.size())) {}
  ENode(const ENode& other) : op_(other.op_), arity_(other.arity_), inline_{} {
    if (on_heap()) {
      heap_ = new ClassId[arity_];
      std::copy_n(other.heap_, arity_, heap_);
    } else {
      std::memcpy(inline_, other.inline_, sizeof inline_);
    }
  }
  ENode(ENode&& other) noexcept : op_(other.op_), arity_(other.arity_), inline_{} { steal(other); }
  ENode& operator=(const ENode& other) {
    if (this != &other) *this = ENode(other);
    return *this;
  }
  ENode& operator=(ENode&& other) noexcept {
    if (this == &other) return *this;
    release();
    op_ = other.op_;
    arity_ = other.arity_;
    steal(other);
    return *this;
  }
  ~ENode() { release(); }

  Symbol op() const { return op_; }
  std::uint32_t arity() const { return arity_; }
  std::span<const ClassId> children() const { return {data(), arity_}; }
  std::span<ClassId> children() { return {data(), arity_}; }

  // Same operator and number of children; the children themselves are not compared.
  bool matches(const ENode& other) const { return op_ == other.op_ && arity_ == other.arity_; }

  // `seed` varies per table, so that no graph shape can be chosen to collide in every table.
  std::uint64_t hash(std::uint64_t seed = 0) const {
    // Cheap multiplicative combine; the hash table avalanches the result itself.
    constexpr std::uint64_t kMul = kGoldenRatio64;
    std::uint64_t h = ((std::uint64_t{op_} << 32 | arity_) ^ seed) * kMul;
    for (const ClassId child : children())
      h = ((h << 5 | h >> 59) ^ child) * kMul;
    return h;
  }

  friend bool operator==(const ENode& a, const ENode& b) {
    return a.op_ == b.op_ && a.arity_ == b.arity_ && std::ranges::equal(a.children(), b.children());
  }
  // Operator by numeric value, then children element-wise; a prefix orders first.
  friend std::strong_ordering operator<=>(const ENode& a, const ENode& b) {
    if (a.op_ != b.op_) return a.op_ <=> b.op_;
    const auto ac = a.children();
    const auto bc = b.children();
    return std::lexicographical_compare_three_way(ac.begin(), ac.end(), bc.begin(), bc.end());
  }

 private:
  bool on_heap() const { return arity_ > kInlineChildren; }
  const ClassId* data() const { return on_heap() ? heap_ : inline_; }
  ClassId* data() { return on_heap() ? heap_ : inline_; }
  void release() {
    if (on_heap()) delete[] heap_;
  }
  // Takes other's children (op and arity already copied); the inline array is copied whole, a
  // fixed-size copy being cheaper than a counted one.
  void steal(ENode& other) noexcept {
    if (on_heap()) {
      heap_ = std::exchange(other.heap_, nullptr);
      other.arity_ = 0;
    } else {
      std::memcpy(inline_, other.inline_, sizeof inline_);
    }
  }

  Symbol op_;
  std::uint32_t arity_;
  union {
    ClassId inline_[kInlineChildren];
    ClassId* heap_;
  };
};

struct ENodeHash {
  std::uint64_t seed = 0;
  std::uint64_t operator()(const ENode& node) const { return node.hash(seed); }
};

}  // namespace zembric::egraph
