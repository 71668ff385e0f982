// A one-line rendering of a reduced node for readable test expectations: the canonical key and
// the inputs, and for a Stage its inputs and each member's key with its tokens.
#pragma once

#include <string>

#include "store/canonical_key.h"
#include "store/node.h"

namespace zembric {

inline std::string node_text(const Node& node) {
  std::string out = node.kind() == NodeKind::Stage ? "stage" : canonical_key(node);
  if (node.kind() != NodeKind::Source) {
    out += '[';
    for (std::size_t k = 0; k < node.inputs().size(); ++k) {
      if (k > 0) out += ',';
      out += std::to_string(node.inputs()[k]);
    }
    out += ']';
  }
  for (const StageMemberView member : node.members()) {
    out += ' ';
    out += member.key;
    out += '(';
    for (std::size_t k = 0; k < member.tokens.size(); ++k) {
      if (k > 0) out += ',';
      out += member.tokens[k].kind == MemberTokenKind::Input ? 'i' : 'm';
      out += std::to_string(member.tokens[k].index);
    }
    out += ')';
  }
  return out;
}

template <class Nodes>
std::vector<std::string> nodes_text(const Nodes& nodes) {
  std::vector<std::string> out;
  for (const Node& node : nodes)
    out.push_back(node_text(node));
  return out;
}

}  // namespace zembric
