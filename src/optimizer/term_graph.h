// TermGraph: the flat graph the reduction's passes read and write. Every distinct key text is
// stored once in a KeyTable shared by a graph and the graphs derived from it, and the children of
// all terms lie in one array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "optimizer/key_table.h"

namespace zembric {

using TermIndex = std::uint32_t;

// One graph node as a value, for building graphs by hand and for reading them back term by term.
struct Term {
  std::string key;                  // the node's canonical key
  std::vector<TermIndex> children;  // earlier terms, one per input, in input order
  bool is_boundary = false;         // true for every node that is not an Op
  friend bool operator==(const Term&, const Term&) = default;
};

// Every child index of a term is smaller than the term's own index.
class TermGraph {
 public:
  // An empty graph with a key table of its own.
  TermGraph();
  // An empty graph whose keys come from `keys`, shared with other graphs.
  explicit TermGraph(std::shared_ptr<KeyTable> keys);
  // Built term by term; for tests and small callers.
  TermGraph(const std::vector<Term>& terms, std::vector<TermIndex> roots);

  std::size_t size() const noexcept { return key_.size(); }
  KeyId key_id(TermIndex term) const noexcept { return key_[term]; }
  std::string_view key(TermIndex term) const noexcept { return keys_->text(key_[term]); }
  bool is_boundary(TermIndex term) const noexcept { return boundary_[term] != 0; }
  std::span<const TermIndex> children(TermIndex term) const noexcept {
    return {children_.data() + child_begin_[term], child_begin_[term + 1] - child_begin_[term]};
  }
  // Child lists of all terms, back to back: children(t) starts at child_offset(t).
  std::size_t child_offset(TermIndex term) const noexcept { return child_begin_[term]; }
  std::span<const TermIndex> all_children() const noexcept { return children_; }

  const std::shared_ptr<KeyTable>& keys() const noexcept { return keys_; }
  KeyTable& key_table() noexcept { return *keys_; }
  const KeyTable& key_table() const noexcept { return *keys_; }

  void reserve(std::size_t terms, std::size_t children);
  // Appends a term; its children are not checked here.
  void add(KeyId key, std::span<const TermIndex> children, bool is_boundary) {
    begin_term(key, is_boundary);
    children_.insert(children_.end(), children.begin(), children.end());
    end_term();
  }
  void add(std::string_view key, std::span<const TermIndex> children, bool is_boundary) {
    add(keys_->intern(key), children, is_boundary);
  }
  // Appends a term whose children follow through add_child; the term ends with the next add_*.
  void begin_term(KeyId key, bool is_boundary) {
    if (child_begin_.empty()) child_begin_.push_back(0);
    key_.push_back(key);
    boundary_.push_back(is_boundary ? 1 : 0);
    distinct_ = false;
    ordered_ = false;
  }
  void add_child(TermIndex child) { children_.push_back(child); }
  void end_term() { child_begin_.push_back(children_.size()); }

  // Fills an empty graph in place, as begin_term, add_child and end_term do, for a producer that
  // knows at most how many terms and children it writes: the arrays are sized once, and each field
  // is a plain store. finish() trims them to what was written.
  class Filler {
   public:
    Filler(TermGraph& graph, std::size_t terms, std::size_t children);
    Filler(const Filler&) = delete;
    Filler& operator=(const Filler&) = delete;

    void begin_term(KeyId key, bool is_boundary) {
      *key_++ = key;
      *boundary_++ = is_boundary ? 1 : 0;
    }
    void add_child(TermIndex child) { *child_++ = child; }
    void end_term() { *child_begin_++ = static_cast<std::size_t>(child_ - first_child_); }
    void finish();

   private:
    TermGraph& graph_;
    KeyId* key_;
    std::uint8_t* boundary_;
    std::size_t* child_begin_;  // of the next term's end
    TermIndex* child_;
    const TermIndex* first_child_;
  };

  std::vector<TermIndex> roots;  // repeats allowed

  // Whether no two terms are known to share their key and children, as the producer of the graph
  // vouches; any term added afterwards clears it. False says nothing.
  bool distinct() const noexcept { return distinct_; }
  void mark_distinct() noexcept { distinct_ = true; }
  // Whether every child precedes its term and every root names a term, as the producer of the
  // whole graph vouches, so that a consumer need not check it again; any term added afterwards
  // clears it. False says nothing.
  bool ordered() const noexcept { return ordered_; }
  void mark_ordered() noexcept { ordered_ = true; }

  Term term(TermIndex index) const;
  std::vector<Term> terms() const;

  // Equal terms (key texts, children, flags) and roots; key ids and tables may differ.
  friend bool operator==(const TermGraph& a, const TermGraph& b);

 private:
  std::shared_ptr<KeyTable> keys_;
  std::vector<KeyId> key_;
  std::vector<std::uint8_t> boundary_;
  // size() + 1 offsets into children_; empty while the graph is, so that no empty graph allocates
  std::vector<std::size_t> child_begin_;
  std::vector<TermIndex> children_;
  bool distinct_ = false;
  bool ordered_ = false;
};

}  // namespace zembric
