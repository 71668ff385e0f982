// SaturationEngine: merges the operand orders of commutative operators and operators applied to
// their neutral scalar by equality saturation, then keeps the earliest term of every class.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "egraph/rewrite.h"
#include "optimizer/rewrite_engine.h"

namespace zembric {

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterLimit = 12;

  // Builds the twelve rules: commute-{add,mul,and,or,eq,ne,maximum,minimum}, then identity-0..3.
  SaturationEngine();

  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override;

  std::span<const egraph::Rewrite> rules() const { return rules_; }
  std::size_t iter_limit() const { return iter_limit_; }

 private:
  std::vector<egraph::Rewrite> rules_;
  std::size_t iter_limit_ = kIterLimit;
};

}  // namespace zembric
