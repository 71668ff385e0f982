// Hash-consing in one ascending pass over a flat, per-call seeded table from (key id, children's
// representatives) to the representative term; a probe compares keys and child lists only when the
// stored hash bits agree. Keys are interned, so equal ids mean equal texts. Linear in the graph.
#include "optimizer/hash_consing.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "support/flat_id_index.h"
#include "support/internal_error.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {

TermGraph hash_cons(const TermGraph& terms, const std::shared_ptr<KeyTable>& keys,
                    std::vector<TermIndex>& representative) {
  const std::size_t count = terms.size();
  if (count > FlatIdIndex::kMaxEntries) {
    throw std::length_error("a reduction handles at most 4294967294 nodes");
  }
  std::vector<KeyId> key_in_input;
  if (terms.keys() != keys) {
    key_in_input.resize(terms.key_table().size());
    for (KeyId k = 0; k < key_in_input.size(); ++k)
      key_in_input[k] = keys->intern(terms.key_table().text(k));
  }
  const std::uint64_t seed = fresh_hash_seed();
  FlatIdIndex index;
  index.reserve(count);
  TermGraph shared(keys);
  shared.reserve(count, terms.all_children().size());
  representative.assign(count, 0);
  std::vector<TermIndex> mapped;
  for (std::size_t m = 0; m < count; ++m) {
    const auto t = static_cast<TermIndex>(m);
    const KeyId key = key_in_input.empty() ? terms.key_id(t) : key_in_input[terms.key_id(t)];
    const auto children = terms.children(t);
    SeededHasher h(seed);
    h.add_u64(key);
    h.add_u64(children.size());
    mapped.clear();
    for (const TermIndex child : children) {
      if (child >= m) {
        throw InternalError("engine term " + std::to_string(m) + " reads term " +
                            std::to_string(child) + ", which is not earlier");
      }
      mapped.push_back(representative[child]);
      h.add_u64(representative[child]);
    }
    const std::uint64_t hash = h.finish();
    const std::uint32_t found = index.find(hash, [&](std::uint32_t id) {
      const auto other = shared.children(id);
      return shared.key_id(id) == key &&
             std::equal(other.begin(), other.end(), mapped.begin(), mapped.end());
    });
    if (found != kNoIndex) {
      representative[m] = found;
      continue;
    }
    representative[m] = static_cast<TermIndex>(shared.size());
    index.insert(hash, representative[m]);
    shared.add(key, mapped, terms.is_boundary(t));
  }
  shared.roots.reserve(terms.roots.size());
  for (const TermIndex root : terms.roots) {
    if (root >= count) throw InternalError("engine root " + std::to_string(root) + " is no term");
    shared.roots.push_back(representative[root]);
  }
  shared.mark_ordered();
  return shared;
}

}  // namespace zembric
