#include "optimizer/rewrite_engine.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "support/seeded_hash.h"

namespace zembric {

KeyTable::KeyTable() : seed_(fresh_hash_seed()), begin_{0} {}

namespace {

std::uint64_t key_hash(std::string_view key, std::uint64_t seed) noexcept {
  SeededHasher h(seed);
  h.add_bytes(key);
  return h.finish();
}

}  // namespace

KeyId KeyTable::find(std::string_view key) const {
  return index_.find(key_hash(key, seed_), [&](std::uint32_t id) { return text(id) == key; });
}

KeyId KeyTable::intern(std::string_view key) {
  const std::uint64_t hash = key_hash(key, seed_);
  const KeyId found = index_.find(hash, [&](std::uint32_t id) { return text(id) == key; });
  if (found != FlatIdIndex::kNone) return found;
  if (size() >= FlatIdIndex::kMaxEntries) {
    throw std::length_error("a key table holds at most 4294967294 keys");
  }
  const auto id = static_cast<KeyId>(size());
  chars_.append(key);
  begin_.push_back(chars_.size());
  index_.insert(hash, id);
  return id;
}

TermGraph::TermGraph() : TermGraph(std::make_shared<KeyTable>()) {}

TermGraph::TermGraph(std::shared_ptr<KeyTable> keys) : keys_(std::move(keys)), child_begin_{0} {}

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

RewriteEngine::~RewriteEngine() = default;

}  // namespace zembric
