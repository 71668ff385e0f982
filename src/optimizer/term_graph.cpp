#include "optimizer/term_graph.h"

#include <algorithm>
#include <utility>

#include "support/internal_error.h"

namespace zembric {

TermGraph::TermGraph() : TermGraph(std::make_shared<KeyTable>()) {}

[[gnu::hot]] TermGraph::TermGraph(std::shared_ptr<KeyTable> keys) : keys_(std::move(keys)) {}

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

[[gnu::hot]] TermGraph::Filler::Filler(TermGraph& graph, std::size_t terms, std::size_t children)
    : graph_(graph) {
  if (graph.size() != 0) throw InternalError("a term graph is filled only while empty");
  graph.key_.resize(terms);
  graph.boundary_.resize(terms);
  graph.child_begin_.resize(terms + 1);
  graph.children_.resize(children);
  graph.distinct_ = false;
  graph.ordered_ = false;
  key_ = graph.key_.data();
  boundary_ = graph.boundary_.data();
  child_begin_ = graph.child_begin_.data() + 1;
  child_ = graph.children_.data();
  first_child_ = child_;
}

[[gnu::hot]] void TermGraph::Filler::finish() {
  const auto terms = static_cast<std::size_t>(key_ - graph_.key_.data());
  graph_.key_.resize(terms);
  graph_.boundary_.resize(terms);
  graph_.child_begin_.resize(terms + 1);
  graph_.children_.resize(static_cast<std::size_t>(child_ - first_child_));
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
