// UnionFind: parent links over dense class ids; a slot that is its own parent is a root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "support/big_block.h"

namespace zembric::egraph {

// An e-class identifier and, at the same time, a slot of the union-find.
using ClassId = std::uint32_t;

// Never handed out: the union-find stops one short of it. The e-graph's own name for an absent
// class, typed as its ids are.
inline constexpr ClassId kNoClass = std::numeric_limits<ClassId>::max();

class UnionFind {
 public:
  // Adds a new singleton set and returns its id (the next slot).
  ClassId make_set();
  std::size_t size() const { return parents_.size(); }

  // Inline: find sits on every hot path of the e-graph; only the range failure is out of line.
  ClassId find(ClassId id) const {
    if (id >= parents_.size()) out_of_range(id);
    const ClassId* parents = parents_.data();
    while (parents[id] != id)
      id = parents[id];
    return id;
  }
  // Like find, but halves the path on the way (each visited slot skips to its grandparent).
  ClassId find_compressing(ClassId id) {
    if (id >= parents_.size()) out_of_range(id);
    ClassId* parents = parents_.data();
    while (parents[id] != id) {
      parents[id] = parents[parents[id]];
      id = parents[id];
    }
    return id;
  }
  // Makes `root` point at `new_root`; both must be roots.
  void link(ClassId root, ClassId new_root);
  void reserve(std::size_t count) { parents_.reserve(count); }

 private:
  [[noreturn]] void out_of_range(ClassId id) const;

  std::vector<ClassId, HugePageAllocator<ClassId>> parents_;
};

}  // namespace zembric::egraph
