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

  // The engine every reduction uses, built on first use: building parses and interns the rules,
  // which would otherwise cost more than reducing a small graph. run() is safe from any number
  // of threads at once.
  static const SaturationEngine& standard();

  TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const override;

  std::span<const egraph::Rewrite> rules() const { return rules_; }
  std::size_t iter_limit() const { return iter_limit_; }

 private:
  std::vector<egraph::Rewrite> rules_;
  std::size_t iter_limit_ = kIterLimit;
};

}  // namespace zembric
