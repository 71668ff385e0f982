// EGraph: hash-consed e-nodes over a union-find, with congruence restored by rebuild().
//
// Mutations (add_node, union_classes) leave the graph unclean; rebuild() re-canonicalises it and
// is the only way back to clean, which pattern search requires. Hash-cons entries are never
// removed: keys that go stale through unions stay, so total_size() only grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "egraph/eclass.h"
#include "egraph/enode.h"
#include "egraph/flat_hash_map.h"
#include "egraph/symbol.h"
#include "egraph/union_find.h"
#include "support/big_block.h"
#include "support/flat_id_index.h"
#include "support/hash_mixing.h"

namespace zembric::egraph {

class EGraph {
 public:
  EGraph();
  EGraph(EGraph&&) noexcept = default;
  EGraph& operator=(EGraph&&) noexcept = default;
  EGraph(const EGraph&) = delete;
  EGraph& operator=(const EGraph&) = delete;

  // Preallocates for about `node_count` nodes, with headroom for the classes rules add.
  void reserve(std::size_t node_count);

  // Hash-consing insert. An existing equal node yields the id it was stored under, which may no
  // longer be a root.
  ClassId add_node(ENode node);
  // add_node resolved to the root.
  ClassId add(ENode node) { return find(add_node(std::move(node))); }

  // Hint that `node`, its children already roots, is about to be added: loads its hash-cons slot
  // ahead, for callers that know their next insertions.
  void prefetch(const ENode& node) const { memo_.prefetch(memo_hash(node)); }

  ClassId find(ClassId id) const { return union_find_.find(id); }
  ClassId find_compressing(ClassId id) { return union_find_.find_compressing(id); }

  // Root of the class holding `node` (children resolved first), if the node was ever added.
  std::optional<ClassId> lookup(const ENode& node) const;

  // True when adding `node`, its children roots, could only find class `id` again: no merge has
  // happened since the last rebuild, so class contents and hash-cons keys agree, and the class
  // holds the node. False means "not known", not "no". A scan of one class, which a search has
  // just visited, instead of a hash-cons probe anywhere in a large table.
  bool surely_holds(ClassId id, const ENode& node) const;
  // Whether a merge has happened since the last rebuild; surely_holds is then always false.
  bool has_merged_since_rebuild() const { return merged_since_rebuild_; }

  // Merges the classes of a and b; true when they were distinct. The class with more parents
  // wins, the first argument's on a tie. Always leaves the graph unclean.
  bool union_classes(ClassId a, ClassId b);

  // Restores congruence and canonical class contents; returns the unions it had to make.
  std::size_t rebuild();

  const EClass& get_class(ClassId id) const;

  // Hash-cons entries, stale ones included: the figure node limits are measured against.
  std::size_t total_size() const { return memo_.size() + stale_entries_; }
  std::size_t class_count() const { return class_count_; }
  bool is_clean() const { return clean_; }

  // Operator index as of the last rebuild: the classes holding a node with operator `op`, and all
  // classes holding a node, each in ascending id order.
  std::span<const ClassId> classes_with_op(Symbol op) const;
  std::span<const ClassId> classes_with_nodes() const { return indexed_classes_; }

 private:
  struct SymbolHash {
    std::uint64_t operator()(Symbol s) const { return s; }
  };

  std::uint64_t memo_hash(const ENode& node) const { return mix_hash(node.hash(memo_seed_)); }
  // The memo's entry for the node added under `candidate`, when that node is `node`.
  bool memo_holds(std::uint32_t candidate, const ENode& node) const {
    return added_[candidate] == node;
  }

  EClass& live_class(ClassId root);
  // Enters `node`, its children roots, into the parent lists of its child classes: one entry per
  // distinct child class, one use per child position.
  void record_parents(const ENode& node, ClassId id);
  // Queues the node added under `id` for re-canonicalisation, unless it is queued already.
  void enqueue(ClassId id);
  // Canonicalises the classes touched since the last rebuild and refreshes the operator index.
  void repair_classes();
  std::vector<ClassId> take_touched_roots();
  void reindex(std::span<const ClassId> repaired);

  UnionFind union_find_;
  // The node added under each id, its children re-canonicalised by every rebuild that queues it.
  // Parent lists and the worklist name nodes by these ids instead of holding copies, so memory
  // stays linear in the number of children however wide a node is.
  std::vector<ENode, HugePageAllocator<ENode>> added_;
  // Ids whose nodes await re-canonicalisation, used as a stack; a node is queued at most once at a
  // time (queued_), so a wide node whose children merge many times is re-canonicalised once.
  std::vector<ClassId> pending_;
  std::vector<bool> queued_;
  // Scratch for record_parents on wide nodes: the id of the last node that listed each class.
  std::vector<ClassId> parent_stamp_;
  // The e-graph's memo: every canonical e-node to its class, as ids into added_, whose node is
  // the entry's key (8 bytes a slot instead of a node copy). Re-canonicalising a node re-keys its
  // entry; the key it leaves behind, which no lookup of a canonical node can ever meet again, is
  // only counted (stale_entries_), so that total_size() counts every key the graph ever held.
  FlatIdIndex memo_;
  std::uint64_t memo_seed_;
  std::size_t stale_entries_ = 0;
  // Indexed by class id; only roots are live.
  std::vector<EClass, HugePageAllocator<EClass>> classes_;
  std::vector<bool> live_;
  std::size_t class_count_ = 0;

  // Classes whose nodes may be out of canonical form: new classes, union winners and the users
  // of union losers. Every other class is unchanged since the last rebuild and needs no repair.
  std::vector<ClassId> touched_;
  // Set by every merge, cleared by rebuild: without one, rebuilding has no key to re-canonicalise.
  bool merged_since_rebuild_ = false;
  // Classes added while nothing has merged since the last rebuild, standing in for their pending
  // entries: each class still holds exactly the node it was added with, so the first merge can
  // queue the entries from the classes. Loading thus never copies a node into pending_.
  std::vector<ClassId> added_since_rebuild_;
  std::vector<std::uint32_t> repair_mark_;
  std::uint32_t repair_epoch_ = 0;

  // Operator index in compressed rows: op -> row, row r spans index_classes_[row_start_[r]..
  // row_start_[r + 1]). Rows are assigned once per operator and reused by later rebuilds.
  FlatHashMap<Symbol, std::uint32_t, SymbolHash> op_rows_;
  std::vector<std::uint32_t> row_start_;
  std::vector<ClassId> index_classes_;
  std::vector<ClassId> indexed_classes_;

  bool clean_ = false;
};

}  // namespace zembric::egraph
