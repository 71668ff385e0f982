// UnionFind: parent links over dense class ids; a slot that is its own parent is a root.
#pragma once

#include <cstddef>
#include <vector>

#include "egraph/class_id.h"

namespace zembric::egraph {

class UnionFind {
 public:
  // Adds a new singleton set and returns its id (the next slot).
  ClassId make_set();
  std::size_t size() const { return parents_.size(); }

  ClassId find(ClassId id) const;
  // Like find, but halves the path on the way (each visited slot skips to its grandparent).
  ClassId find_compressing(ClassId id);
  // Makes `root` point at `new_root`; both must be roots.
  void link(ClassId root, ClassId new_root);

 private:
  void check(ClassId id) const;

  std::vector<ClassId> parents_;
};

}  // namespace zembric::egraph
