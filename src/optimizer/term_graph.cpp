#include "optimizer/term_graph.h"

#include <algorithm>
#include <utility>

namespace zembric {

TermGraph::TermGraph() : TermGraph(std::make_shared<KeyTable>()) {}

TermGraph::TermGraph(std::shared_ptr<KeyTable> keys) : keys_(std::move(keys)) {}

TermGraph::TermGraph(const std::vector<Term>& terms, std::vector<TermIndex> roots_in)
    : TermGraph() {
  roots = std::move(roots_in);
  for (const Term& t : terms)
    add(t.key, t.children, t.is_boundary);
}

void TermGraph::reserve(std::size_t terms, std::size_t children) {
  key_.reserve(terms);
  boundary_.reserve(terms);
  child_begin_.reserve(terms + 1);
  children_.reserve(children);
}

Term TermGraph::term(TermIndex index) const {
  const auto c = children(index);
  return Term{std::string(key(index)), std::vector<TermIndex>(c.begin(), c.end()),
              is_boundary(index)};
}

std::vector<Term> TermGraph::terms() const {
  std::vector<Term> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i)
    out.push_back(term(static_cast<TermIndex>(i)));
  return out;
}

bool operator==(const TermGraph& a, const TermGraph& b) {
  if (a.size() != b.size() || a.roots != b.roots) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto t = static_cast<TermIndex>(i);
    const auto ca = a.children(t);
    const auto cb = b.children(t);
    if (a.key(t) != b.key(t) || a.is_boundary(t) != b.is_boundary(t) ||
        !std::equal(ca.begin(), ca.end(), cb.begin(), cb.end())) {
      return false;
    }
  }
  return true;
}

}  // namespace zembric
