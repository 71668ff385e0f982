#include "egraph/union_find.h"

#include <limits>
#include <string>

#include "support/internal_error.h"

namespace zembric::egraph {

ClassId UnionFind::make_set() {
  if (parents_.size() >= std::numeric_limits<ClassId>::max()) {
    throw InternalError("e-graph class ids exhausted");
  }
  const auto id = static_cast<ClassId>(parents_.size());
  parents_.push_back(id);
  return id;
}

void UnionFind::out_of_range(ClassId id) const {
  throw InternalError("class id " + std::to_string(id) + " out of range for union-find of size " +
                      std::to_string(parents_.size()));
}

void UnionFind::link(ClassId root, ClassId new_root) {
  if (root >= parents_.size()) out_of_range(root);
  if (new_root >= parents_.size()) out_of_range(new_root);
  parents_[root] = new_root;
}

}  // namespace zembric::egraph
