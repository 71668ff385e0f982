// Builders for the node kinds that the core creates only through Node::plain (from calls and
// blobs), shaped like Node::op so that test graphs read as one list.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "store/node.h"

namespace zembric {

inline Node plain_node(NodeKind kind, std::string_view name, ParamMap params,
                       const std::vector<NodeId>& inputs) {
  InputList list;
  list.reserve(inputs.size());
  for (NodeId id : inputs)
    list.push_back(id);
  return Node::plain(kind, name, std::move(params), std::move(list));
}

inline Node source_node(std::string_view name, ParamMap params) {
  return plain_node(NodeKind::Source, name, std::move(params), {});
}

inline Node reduction_node(std::string_view name, ParamMap params, std::vector<NodeId> inputs) {
  return plain_node(NodeKind::Reduction, name, std::move(params), inputs);
}

inline Node exchange_node(ParamMap params, std::vector<NodeId> inputs) {
  return plain_node(NodeKind::Exchange, {}, std::move(params), inputs);
}

}  // namespace zembric
