// Hash-consing (common-subexpression elimination): the pass after the rewrite engine. Terms with
// equal keys over equal children become one.
#pragma once

#include <memory>
#include <vector>

#include "optimizer/term_graph.h"

namespace zembric {

// One term per distinct (key, children) pair of `terms`, the first in term order winning, with the
// roots translated; `representative` receives, per term, the term of the result standing for it.
// Key ids name `keys`; terms keyed in another table are translated by text.
TermGraph hash_cons(const TermGraph& terms, const std::shared_ptr<KeyTable>& keys,
                    std::vector<TermIndex>& representative);

}  // namespace zembric
