#include "store/reduced_store.h"

#include <string>

#include "support/internal_error.h"

namespace zembric {

namespace {

// Indexes the appended nodes and marks the outputs, given as positions among `count` nodes.
void finish(StoreCore::Builder& builder, std::size_t count, std::span<const NodeId> outputs,
            std::vector<NodeId>* id_of_position) {
  auto indexed = builder.index_appended();
  if (!indexed) {
    throw InternalError("reduced graph references only earlier nodes: id " +
                        std::to_string(indexed.error().id) + " is unknown");
  }
  std::vector<NodeId> remap = std::move(indexed).value();  // empty: positions are ids
  for (const NodeId position : outputs) {
    if (position >= count || builder.mark_output(remap.empty() ? position : remap[position])) {
      throw InternalError("reduced output is valid: position " + std::to_string(position) +
                          " is no reduced node");
    }
  }
  if (id_of_position != nullptr) *id_of_position = std::move(remap);
}

}  // namespace

std::unique_ptr<StoreCore> from_reduced(std::vector<Node> nodes, std::span<const NodeId> outputs,
                                        std::vector<NodeId>* id_of_position) {
  auto store = std::make_unique<StoreCore>();
  // The new store is private until it is returned: one lock for the whole build.
  StoreCore::Builder builder(*store);
  builder.reserve(nodes.size());
  // The reduced list holds no two equal nodes as a rule, so positions are ids: each node is
  // appended as it is and the list indexed at once. Should two be equal after all, the builder
  // interns the nodes from the second one on and says where each position ended.
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
  finish(builder, count, outputs, id_of_position);
  return store;
}

[[gnu::hot]] std::unique_ptr<StoreCore> adopt_reduced(NodeList nodes,
                                                      std::span<const NodeId> outputs) {
  auto store = std::make_unique<StoreCore>();
  StoreCore::Builder builder(*store);
  builder.adopt_distinct(std::move(nodes));
  for (const NodeId id : outputs) {
    if (builder.mark_output(id)) {
      throw InternalError("reduced output is valid: position " + std::to_string(id) +
                          " is no reduced node");
    }
  }
  return store;
}

}  // namespace zembric
