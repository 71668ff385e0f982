#include "store/reduced_store.h"

#include <string>

#include "store/internal_error.h"

namespace zembric {

std::unique_ptr<StoreCore> from_reduced(std::vector<Node> nodes, std::span<const NodeId> outputs) {
  auto store = std::make_unique<StoreCore>();
  // The new store is private until it is returned: one lock for the whole build.
  StoreCore::Builder builder(*store);
  builder.reserve(nodes.size());
  // The reduced list holds no two equal nodes as a rule, so positions are ids: each node is
  // appended as it is and the list indexed at once. Should two be equal after all, the nodes from
  // the second one on come back and are interned one by one through `remap`.
  const std::size_t count = nodes.size();
  for (std::size_t position = 0; position < count; ++position) {
    for (const NodeId input : nodes[position].inputs()) {
      if (input >= position) {
        throw InternalError("reduced graph references only earlier nodes: position " +
                            std::to_string(position) + " reads " + std::to_string(input));
      }
    }
    if (auto bad = builder.append(std::move(nodes[position]))) {
      throw InternalError("reduced graph references only earlier nodes: id " +
                          std::to_string(bad->id) + " is unknown");
    }
  }
  nodes.clear();
  std::vector<Node> rest = builder.index_appended();
  std::vector<NodeId> remap;  // id of each reduced position, once the two part ways
  if (!rest.empty()) {
    remap.reserve(count);
    for (NodeId position = 0; position < count - rest.size(); ++position)
      remap.push_back(position);
    std::vector<NodeId> translated;
    for (Node& node : rest) {
      const auto inputs = node.inputs();
      translated.assign(inputs.begin(), inputs.end());
      for (NodeId& id : translated)
        id = remap[id];
      auto id = builder.intern(std::move(node).with_inputs(translated));
      if (!id) {
        throw InternalError("reduced graph references only earlier nodes: id " +
                            std::to_string(id.error().id) + " is unknown");
      }
      remap.push_back(id.value());
    }
  }
  for (const NodeId position : outputs) {
    if (position >= count || builder.mark_output(remap.empty() ? position : remap[position])) {
      throw InternalError("reduced output is valid: position " + std::to_string(position) +
                          " is no reduced node");
    }
  }
  return store;
}

}  // namespace zembric
