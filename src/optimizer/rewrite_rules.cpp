#include "optimizer/rewrite_rules.h"

#include <bit>
#include <cstdint>

#include "store/optimizer_key.h"

namespace zembric {
namespace {

ParamMap identity_params(const IdentityRule& rule) {
  return ParamMap::from_unsorted({{"scalar", ParamValue::of_float(rule.neutral)},
                                  {"side", ParamValue::of_str(std::string(rule.side))}});
}

}  // namespace

std::string identity_key(const IdentityRule& rule) {
  return optimizer_key(Node::op(std::string(rule.op), identity_params(rule), {}));
}

bool has_identity_key(const Node& node) noexcept {
  if (node.kind() != NodeKind::Op || node.params().size() != 2) return false;
  // Params are sorted by key, so "scalar" precedes "side".
  const auto entries = node.params().entries();
  const ParamEntry& scalar = entries[0];
  const ParamEntry& side = entries[1];
  if (scalar.first != "scalar" || scalar.second.type() != ParamType::Float ||
      side.first != "side" || side.second.type() != ParamType::Str) {
    return false;
  }
  const auto bits = std::bit_cast<std::uint64_t>(scalar.second.as_float());
  for (const IdentityRule& rule : kIdentityRules) {
    if (node.name() == rule.op && bits == std::bit_cast<std::uint64_t>(rule.neutral) &&
        side.second.as_str() == rule.side) {
      return true;
    }
  }
  return false;
}

bool has_commutative_name(const Node& node) noexcept {
  if (node.kind() != NodeKind::Op) return false;
  const std::string_view name = node.name();
  for (const std::string_view op : kCommutativeOps) {
    if (name == op) return true;
  }
  return false;
}

}  // namespace zembric
