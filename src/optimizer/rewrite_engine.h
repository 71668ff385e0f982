// RewriteEngine: the reduction pipeline's view of the step that merges provably equal terms.
#pragma once

#include <vector>

#include "optimizer/term_graph.h"

namespace zembric {

class RewriteEngine {
 public:
  virtual ~RewriteEngine();

  // Returns a graph whose terms are copies of input terms, children renumbered, in input order,
  // each child earlier than its user, with exactly one root per input root in the same order.
  // Sharing the input's key table (keys()) saves translating the keys back by text. When
  // `placement` is given, it is filled with one entry per input term: the output term that stands
  // for it (itself, or the term it was proved equal to). An output marked distinct
  // (mark_distinct) is taken to hold no two terms with equal keys and children, and is not
  // hash-consed again.
  virtual TermGraph run(const TermGraph& input, std::vector<TermIndex>* placement) const = 0;
};

}  // namespace zembric
