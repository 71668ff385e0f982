// The reduction's rewrite rules, defined once: the operators whose two operands commute, and the
// operators applied to their neutral scalar. The saturation engine builds its patterns from this
// table and the incremental reducer its predicates, so the two cannot disagree.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "store/node.h"

namespace zembric {

// An Op named one of these, with two inputs and no params, equals its mirror.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// An Op named `op` whose params are exactly {scalar: Float `neutral`, side: Str `side`}, with one
// input, equals that input. Floats compare by bits: -0.0 is not neutral for add.
struct IdentityRule {
  std::string_view op;
  double neutral;
  std::string_view side;
};
inline constexpr std::array<IdentityRule, 4> kIdentityRules = {{
    {"add", 0.0, "r"},
    {"add", 0.0, "l"},
    {"mul", 1.0, "r"},
    {"mul", 1.0, "l"},
}};

// The optimizer key of the nodes `rule` applies to, made by the key encoder itself.
std::string identity_key(const IdentityRule& rule);

// Whether `node` is an Op one of kIdentityRules applies to (inputs not counted).
bool has_identity_key(const Node& node) noexcept;

// Whether `node` is an Op named one of kCommutativeOps (inputs and params not counted).
bool has_commutative_name(const Node& node) noexcept;

}  // namespace zembric
