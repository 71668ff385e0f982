#include "egraph/enode.h"

#include <algorithm>
#include <utility>

namespace zembric::egraph {

ENode& ENode::operator=(const ENode& other) {
  if (this != &other) *this = ENode(other);
  return *this;
}

std::strong_ordering operator<=>(const ENode& a, const ENode& b) {
  if (a.op_ != b.op_) return a.op_ <=> b.op_;
  const auto ac = a.children();
  const auto bc = b.children();
  return std::lexicographical_compare_three_way(ac.begin(), ac.end(), bc.begin(), bc.end());
}

}  // namespace zembric::egraph
