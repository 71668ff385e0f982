// RewriteEngine: the reduction pipeline's view of the step that merges provably equal nodes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zembric {

using TermIndex = std::size_t;

// One graph node as the engine sees it.
struct Term {
  std::string key;                  // the node's canonical key
  std::vector<TermIndex> children;  // earlier terms, one per input, in input order
  bool is_boundary = false;         // true for every node that is not an Op
  friend bool operator==(const Term&, const Term&) = default;
};

// Every child index of a term is smaller than the term's own index.
struct TermGraph {
  std::vector<Term> terms;
  std::vector<TermIndex> roots;  // repeats allowed
  friend bool operator==(const TermGraph&, const TermGraph&) = default;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine();

  // Returns a graph whose terms are copies of input terms, children renumbered, in input order,
  // each child earlier than its user, with exactly one root per input root in the same order.
  virtual TermGraph run(const TermGraph& input) const = 0;
};

}  // namespace zembric
