#include "egraph/enode.h"

#include <algorithm>
#include <utility>

namespace zembric::egraph {

ENode::ENode(Symbol op, std::span<const ClassId> children)
    : op_(op), arity_(static_cast<std::uint32_t>(children.size())), inline_{} {
  if (on_heap()) heap_ = new ClassId[arity_];
  std::copy(children.begin(), children.end(), data());
}

ENode::ENode(ENode&& other) noexcept : op_(other.op_), arity_(other.arity_), inline_{} {
  if (on_heap()) {
    heap_ = std::exchange(other.heap_, nullptr);
    other.arity_ = 0;
  } else {
    std::copy_n(other.inline_, arity_, inline_);
  }
}

ENode& ENode::operator=(const ENode& other) {
  if (this != &other) *this = ENode(other);
  return *this;
}

ENode& ENode::operator=(ENode&& other) noexcept {
  if (this == &other) return *this;
  release();
  op_ = other.op_;
  arity_ = other.arity_;
  if (on_heap()) {
    heap_ = std::exchange(other.heap_, nullptr);
    other.arity_ = 0;
  } else {
    std::copy_n(other.inline_, arity_, inline_);
  }
  return *this;
}

std::uint64_t ENode::hash() const {
  // Cheap multiplicative combine; the hash table avalanches the result itself.
  constexpr std::uint64_t kMul = 0x9e3779b97f4a7c15ULL;
  std::uint64_t h = (std::uint64_t{op_} << 32 | arity_) * kMul;
  for (const ClassId child : children())
    h = ((h << 5 | h >> 59) ^ child) * kMul;
  return h;
}

bool operator==(const ENode& a, const ENode& b) {
  return a.op_ == b.op_ && a.arity_ == b.arity_ && std::ranges::equal(a.children(), b.children());
}

std::strong_ordering operator<=>(const ENode& a, const ENode& b) {
  if (a.op_ != b.op_) return a.op_ <=> b.op_;
  const auto ac = a.children();
  const auto bc = b.children();
  return std::lexicographical_compare_three_way(ac.begin(), ac.end(), bc.begin(), bc.end());
}

}  // namespace zembric::egraph
