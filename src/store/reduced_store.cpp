#include "store/reduced_store.h"

#include <string>

#include "store/internal_error.h"

namespace zembric {

std::unique_ptr<StoreCore> from_reduced(std::vector<Node> nodes, std::span<const NodeId> outputs) {
  auto store = std::make_unique<StoreCore>();
  std::vector<NodeId> remap;
  remap.reserve(nodes.size());
  for (Node& node : nodes) {
    const auto inputs = node.inputs();
    std::vector<NodeId> translated(inputs.size());
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (inputs[k] >= remap.size()) {
        throw InternalError("reduced graph references only earlier nodes: position " +
                            std::to_string(remap.size()) + " reads " + std::to_string(inputs[k]));
      }
      translated[k] = remap[inputs[k]];
    }
    auto id = store->intern(std::move(node).with_inputs(std::move(translated)));
    if (!id) {
      throw InternalError("reduced graph references only earlier nodes: id " +
                          std::to_string(id.error().id) + " is unknown");
    }
    remap.push_back(id.value());
  }
  for (const NodeId position : outputs) {
    if (position >= remap.size() || store->mark_output(remap[position])) {
      throw InternalError("reduced output is valid: position " + std::to_string(position) +
                          " is no reduced node");
    }
  }
  return store;
}

}  // namespace zembric
