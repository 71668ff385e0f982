#include "egraph/union_find.h"

#include <limits>
#include <string>

#include "store/internal_error.h"

namespace zembric::egraph {

ClassId UnionFind::make_set() {
  if (parents_.size() >= std::numeric_limits<ClassId>::max()) {
    throw InternalError("e-graph class ids exhausted");
  }
  const auto id = static_cast<ClassId>(parents_.size());
  parents_.push_back(id);
  return id;
}

void UnionFind::check(ClassId id) const {
  if (id >= parents_.size()) {
    throw InternalError("class id " + std::to_string(id) + " out of range for union-find of size " +
                        std::to_string(parents_.size()));
  }
}

ClassId UnionFind::find(ClassId id) const {
  check(id);
  while (parents_[id] != id)
    id = parents_[id];
  return id;
}

ClassId UnionFind::find_compressing(ClassId id) {
  check(id);
  while (parents_[id] != id) {
    parents_[id] = parents_[parents_[id]];
    id = parents_[id];
  }
  return id;
}

void UnionFind::link(ClassId root, ClassId new_root) {
  check(root);
  check(new_root);
  parents_[root] = new_root;
}

}  // namespace zembric::egraph
