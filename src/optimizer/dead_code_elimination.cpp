// Dead-code elimination. Reachability is one descending sweep, so chains of any depth need no
// recursion; then one ascending pass renumbers the reached nodes compactly (so the terms stay
// topologically ordered) and interns each node's optimizer key to a small id. The nodes a store
// has shaped carry the key text with their shape; for the others each key text is built once per
// distinct recent key through a small cache. Linear in the graph.
#include "optimizer/dead_code_elimination.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <string>

#include "store/optimizer_key.h"
#include "support/internal_error.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {
namespace {

// Marks compact[i] (0) for every node the roots reach, leaving kNoIndex elsewhere; returns the
// number of nodes reached and adds their input counts to `inputs`. Inputs precede their users, so
// one descending sweep from the last root reaches them all, and it reads the reached nodes in
// address order, where a search would jump across the whole list.
std::size_t mark_reachable(std::span<const Node> nodes, std::span<const NodeId> roots,
                           std::vector<std::uint32_t>& compact, std::size_t& inputs) {
  std::size_t top = 0;
  for (const NodeId root : roots) {
    if (root >= nodes.size()) throw InternalError("root " + std::to_string(root) + " is no node");
    compact[root] = 0;
    top = std::max<std::size_t>(top, root + 1);
  }
  std::size_t reached = 0;
  for (std::size_t id = top; id-- > 0;) {
    if (compact[id] == kNoIndex) continue;
    ++reached;
    const auto node_inputs = nodes[id].inputs();
    inputs += node_inputs.size();
    for (const NodeId input : node_inputs) {
      if (input >= id) {
        throw InternalError("node " + std::to_string(id) + " reads node " + std::to_string(input) +
                            ", which is not earlier");
      }
      compact[input] = 0;
    }
  }
  return reached;
}

// The key of a node other than a Stage depends on its kind, name, params and (for an External)
// descriptor alone, and a graph repeats few of those: this cache maps them to the interned key, so
// that the key text, whose params are spelt out digit by digit, is built once per distinct recent
// key rather than once per node. It only saves work; a collision merely builds the key again.
class KeyCache {
 public:
  static bool applies_to(const Node& node) { return node.kind() != NodeKind::Stage; }

  // The cached key of `node`, or kNoIndex; after a miss, remember() records the key for it.
  KeyId find(const Node& node) {
    hash_ = hash_of(node);
    if (!filled_[hash_ % kSize]) return kNoIndex;
    const Entry& entry = entries_[hash_ % kSize];
    if (entry.hash != hash_) return kNoIndex;
    const Node& held = *entry.node;
    if (held.kind() != node.kind() || held.name() != node.name() ||
        held.params() != node.params() ||
        (node.kind() == NodeKind::External && held.descriptor() != node.descriptor())) {
      return kNoIndex;
    }
    return entry.key;
  }
  // Records `key` for `node`, the node last passed to find(); `node` must outlive the cache.
  void remember(const Node& node, KeyId key) {
    entries_[hash_ % kSize] = {&node, hash_, key};
    filled_[hash_ % kSize] = true;
  }

 private:
  static constexpr std::size_t kSize = 256;
  struct Entry {
    const Node* node;
    std::uint64_t hash;
    KeyId key;
  };

  static std::uint64_t hash_of(const Node& node) {
    SeededHasher h(0);
    h.add_u64(static_cast<std::uint64_t>(node.kind()) + (std::uint64_t{node.name().size()} << 8));
    h.add_words(node.name());
    add_param_entries(h, node.params());
    if (node.kind() == NodeKind::External) add_descriptor(h, node.descriptor());
    return h.finish();
  }

  // Only the entries a small graph uses are ever touched: the slots are left uninitialised, and
  // a bit says which ones hold an entry.
  std::bitset<kSize> filled_;
  std::array<Entry, kSize> entries_;
  std::uint64_t hash_ = 0;
};

constexpr std::size_t kReservedKeys = 1024;
constexpr std::size_t kReservedKeyBytes = 32;

}  // namespace

[[gnu::hot]] TermGraph eliminate_dead_code(std::span<const Node> nodes,
                                           std::span<const NodeId> roots,
                                           PrototypeTable& prototypes, ReductionReport& report,
                                           std::vector<std::uint32_t>& compact,
                                           const ShapeTable* shapes, bool borrow_keys) {
  compact.assign(nodes.size(), kNoIndex);
  std::size_t inputs = 0;
  const std::size_t reached = mark_reachable(nodes, roots, compact, inputs);
  // Keyed under the shapes' seed, so that the hashes the shapes hold locate their keys here too.
  TermGraph terms(
      std::make_shared<KeyTable>(shapes != nullptr ? shapes->key_seed() : fresh_hash_seed()));
  KeyTable& keys = terms.key_table();
  // Nodes a store has shaped (see ShapeTable) take their key from their shape, others from a text
  // built here. Either way each distinct key is interned once, so the ids are the same.
  const std::size_t shaped = shapes != nullptr ? shapes->shaped() : 0;
  if (shaped == nodes.size() && shaped > 0) {
    // The shapes bound the keys and their bytes.
    const std::size_t expected_keys = std::min(reached, shapes->size());
    keys.reserve(expected_keys, borrow_keys ? 0 : shapes->key_bytes());
    prototypes.reserve(expected_keys);
  } else {
    // A small graph has about as many keys as nodes; a large one repeats its keys, and a table
    // reserved for every node would be mostly empty. Either way the early growth is spared.
    const std::size_t expected_keys = std::min<std::size_t>(reached, kReservedKeys);
    keys.reserve(expected_keys, expected_keys * kReservedKeyBytes);
    prototypes.reserve(expected_keys);
  }
  std::vector<KeyId> key_of_shape(shapes != nullptr ? shapes->size() : 0, kNoIndex);
  std::string key;
  KeyCache cached;
  auto key_of = [&](std::size_t i) {
    if (i < shaped) {
      const ShapeId shape = shapes->shape_of(static_cast<NodeId>(i));
      KeyId& id = key_of_shape[shape];
      // Distinct shapes have distinct keys, and unshaped nodes come later.
      if (id == kNoIndex) {
        id = borrow_keys ? keys.add_borrowed(shapes->key(shape), shapes->key_hash(shape))
                         : keys.add_new(shapes->key(shape), shapes->key_hash(shape));
      }
      return id;
    }
    const Node& node = nodes[i];
    const bool cacheable = KeyCache::applies_to(node);
    KeyId id = cacheable ? cached.find(node) : kNoIndex;
    if (id == kNoIndex) {
      key.clear();
      append_optimizer_key(key, node);
      id = keys.intern(key);
      if (cacheable) cached.remember(node, id);
    }
    return id;
  };
  std::uint32_t reachable = 0;
  TermGraph::Filler filler(terms, reached, inputs);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (compact[i] == kNoIndex) continue;
    compact[i] = reachable++;
    const Node& node = nodes[i];
    const KeyId id = key_of(i);
    // Only boundary nodes are rebuilt from a prototype; operators become stage members by key.
    const bool boundary = node.kind() != NodeKind::Op;
    if (boundary) prototypes.add(id, node);
    filler.begin_term(id, boundary);
    for (const NodeId input : node.inputs())
      filler.add_child(compact[input]);
    filler.end_term();
  }
  filler.finish();
  terms.roots.reserve(roots.size());
  for (const NodeId root : roots)
    terms.roots.push_back(compact[root]);
  // Compaction keeps the order, and every input was checked to precede its node.
  terms.mark_ordered();
  report.reachable_nodes = reachable;
  return terms;
}

}  // namespace zembric
