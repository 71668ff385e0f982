// EGraph. Insertion hash-conses canonical nodes in one flat table; a merge links the union-find
// roots, moves the smaller node and parent lists, and queues the loser's parents. rebuild()
// re-canonicalises the queued parents until congruence holds (skipped outright when nothing was
// merged since the last rebuild, as after loading), then repairs only the touched classes and
// refreshes the operator index in one merge pass per row. Class ids are 32-bit.
#include "egraph/egraph.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/internal_error.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric::egraph {

// The hash-cons is seeded per e-graph: operators and children are ids that the graph's shape
// decides, and a fixed hash would let a shape be chosen to pile its nodes into one probe run.
EGraph::EGraph() : memo_seed_(fresh_hash_seed()) {}

void EGraph::reserve(std::size_t node_count) {
  memo_.reserve(node_count);
  // Rules add classes beyond the loaded ones; headroom spares a reallocation that would move
  // every class. Capacity that is never used is never touched, so it costs no resident memory.
  const std::size_t class_count = node_count + node_count / 2;
  union_find_.reserve(class_count);
  added_.reserve(class_count);
  queued_.reserve(class_count);
  classes_.reserve(class_count);
  live_.reserve(class_count);
  added_since_rebuild_.reserve(node_count);
}

ClassId EGraph::add_node(ENode node) {
  for (ClassId& child : node.children())
    child = find(child);
  const auto next_id = static_cast<ClassId>(union_find_.size());
  if (next_id >= FlatIdIndex::kMaxEntries)
    throw std::length_error("an e-graph holds at most 4294967294 nodes");
  const std::uint32_t stored =
      memo_.find_or_insert(memo_hash(node), next_id,
                           [&](std::uint32_t candidate) { return memo_holds(candidate, node); });
  if (stored != kNoIndex) return stored;

  const ClassId id = union_find_.make_set();
  record_parents(node, id);
  added_.push_back(node);
  queued_.push_back(false);
  if (merged_since_rebuild_) {
    enqueue(id);
  } else {
    added_since_rebuild_.push_back(id);
  }
  EClass& eclass = classes_.emplace_back();
  eclass.id = id;
  eclass.nodes.push_back(std::move(node));
  live_.push_back(true);
  ++class_count_;
  clean_ = false;
  return id;
}

void EGraph::record_parents(const ENode& node, ClassId id) {
  // Up to this many children a scan of the earlier ones finds repeats; wider nodes stamp classes.
  constexpr std::size_t kScanned = 8;
  const auto children = node.children();
  if (children.size() > kScanned && parent_stamp_.size() < union_find_.size()) {
    parent_stamp_.resize(union_find_.size(), kNoClass);
  }
  for (std::size_t k = 0; k < children.size(); ++k) {
    const ClassId child = children[k];
    EClass& eclass = live_class(child);
    ++eclass.parent_uses;
    bool listed;
    if (children.size() <= kScanned) {
      listed = std::find(children.begin(), children.begin() + static_cast<std::ptrdiff_t>(k),
                         child) != children.begin() + static_cast<std::ptrdiff_t>(k);
    } else {
      listed = parent_stamp_[child] == id;
      parent_stamp_[child] = id;
    }
    if (!listed) eclass.parents.push_back(id);
  }
}

void EGraph::enqueue(ClassId id) {
  if (queued_[id]) return;
  queued_[id] = true;
  pending_.push_back(id);
}

std::optional<ClassId> EGraph::lookup(const ENode& node) const {
  ENode canonical = node;
  for (ClassId& child : canonical.children())
    child = find(child);
  const std::uint32_t stored = memo_.find(memo_hash(canonical), [&](std::uint32_t candidate) {
    return memo_holds(candidate, canonical);
  });
  if (stored != kNoIndex) return find(stored);
  return std::nullopt;
}

bool EGraph::surely_holds(ClassId id, const ENode& node) const {
  if (merged_since_rebuild_) return false;
  const ClassId root = find(id);
  if (root >= classes_.size() || !live_[root]) return false;
  return std::ranges::find(classes_[root].nodes, node) != classes_[root].nodes.end();
}

bool EGraph::union_classes(ClassId a, ClassId b) {
  clean_ = false;
  const ClassId root_a = find_compressing(a);
  const ClassId root_b = find_compressing(b);
  if (root_a == root_b) return false;

  if (!merged_since_rebuild_) {
    for (const ClassId added : added_since_rebuild_)
      enqueue(added);
    added_since_rebuild_.clear();
  }
  const bool a_wins = live_class(root_a).parent_uses >= live_class(root_b).parent_uses;
  const ClassId winner = a_wins ? root_a : root_b;
  const ClassId loser = a_wins ? root_b : root_a;
  union_find_.link(loser, winner);
  touched_.push_back(winner);
  merged_since_rebuild_ = true;

  EClass& lost = live_class(loser);
  live_[loser] = false;
  --class_count_;
  EClass& kept = live_class(winner);
  if (kept.id != winner) throw InternalError("class stored under the wrong id");

  for (const ClassId parent : lost.parents)
    enqueue(parent);
  kept.parent_uses += std::exchange(lost.parent_uses, 0);

  // Longer sequence first (the winner's on a tie), so the smaller side is what moves.
  if (lost.nodes.size() > kept.nodes.size()) kept.nodes.swap(lost.nodes);
  kept.nodes.append_from(lost.nodes);
  lost.nodes.shrink_to_empty();
  if (lost.parents.size() > kept.parents.size()) kept.parents.swap(lost.parents);
  kept.parents.append_from(lost.parents);
  lost.parents.shrink_to_empty();
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t unions = 0;
  if (!merged_since_rebuild_) {
    // Without a union since the last rebuild every pending node still has root children and is
    // stored under its own id (only rebuild overwrites keys), so re-inserting it would find
    // itself and merge nothing: only its class needs repair. This is all the work after loading.
    touched_.insert(touched_.end(), added_since_rebuild_.begin(), added_since_rebuild_.end());
    added_since_rebuild_.clear();
  }
  while (!pending_.empty()) {
    const ClassId id = pending_.back();
    pending_.pop_back();
    queued_[id] = false;
    touched_.push_back(id);
    ENode& node = added_[id];
    std::uint64_t hash = memo_hash(node);
    bool rekeyed = false;
    for (ClassId& child : node.children()) {
      const ClassId root = find_compressing(child);
      rekeyed |= root != child;
      child = root;
    }
    if (rekeyed) {
      // The entry under the old key, if this node still owns it, goes stale.
      if (memo_.erase(hash, id)) ++stale_entries_;
      hash = memo_hash(node);
    }
    const std::uint32_t old = memo_.insert_or_assign(
        hash, id, [&](std::uint32_t candidate) { return memo_holds(candidate, node); });
    if (old != kNoIndex && union_classes(old, id)) ++unions;
  }
  repair_classes();
  merged_since_rebuild_ = false;
  clean_ = true;
  return unions;
}

std::vector<ClassId> EGraph::take_touched_roots() {
  repair_mark_.resize(classes_.size(), 0);
  if (++repair_epoch_ == 0) {
    std::ranges::fill(repair_mark_, 0);
    repair_epoch_ = 1;
  }
  std::vector<ClassId> roots;
  for (const ClassId id : touched_) {
    const ClassId root = find_compressing(id);
    if (!live_[root] || repair_mark_[root] == repair_epoch_) continue;
    repair_mark_[root] = repair_epoch_;
    roots.push_back(root);
  }
  touched_.clear();
  // Ascending ids keep the index rows sorted; a scan of the marks is cheaper than a sort when
  // most classes were touched, as after loading.
  if (roots.size() * 8 > classes_.size()) {
    roots.clear();
    for (ClassId id = 0; id < classes_.size(); ++id) {
      if (repair_mark_[id] == repair_epoch_) roots.push_back(id);
    }
  } else {
    std::ranges::sort(roots);
  }
  return roots;
}

void EGraph::repair_classes() {
  const std::vector<ClassId> roots = take_touched_roots();
  for (const ClassId id : roots) {
    auto& nodes = classes_[id].nodes;
    for (ENode& node : nodes) {
      for (ClassId& child : node.children())
        child = find_compressing(child);
    }
    if (nodes.size() < 2) continue;  // most classes: already sorted and unique
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  }
  reindex(roots);
}

void EGraph::reindex(std::span<const ClassId> repaired) {
  // Nothing repaired means no class was created or merged (a merge always repairs its winner's
  // root), so every entry is still valid and there is nothing fresh: the index stands as it is.
  if (repaired.empty()) return;
  // Entries of the repaired classes, one per distinct operator (nodes are sorted by operator).
  std::vector<std::pair<std::uint32_t, ClassId>> fresh;
  fresh.reserve(repaired.size());
  for (const ClassId id : repaired) {
    const auto& nodes = classes_[id].nodes;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      if (k > 0 && nodes[k].op() == nodes[k - 1].op()) continue;
      const auto next_row = static_cast<std::uint32_t>(op_rows_.size());
      fresh.emplace_back(*op_rows_.try_emplace(nodes[k].op(), next_row).first, id);
    }
  }
  // Stable counting sort by row keeps each row's ids ascending.
  const std::size_t rows = op_rows_.size();
  std::vector<std::uint32_t> fresh_start(rows + 1, 0);
  for (const auto& entry : fresh)
    ++fresh_start[entry.first + 1];
  for (std::size_t r = 0; r < rows; ++r)
    fresh_start[r + 1] += fresh_start[r];
  std::vector<ClassId> fresh_ids(fresh.size());
  {
    std::vector<std::uint32_t> cursor(fresh_start.begin(), fresh_start.end() - 1);
    for (const auto& [row, id] : fresh)
      fresh_ids[cursor[row]++] = id;
  }

  // Each row: the previous row without dead or repaired classes, merged with the fresh entries.
  // Repaired classes are never kept, so the two sides of a merge hold no common id. One pass
  // per row writes straight into the new array.
  auto still_valid = [&](ClassId id) { return live_[id] && repair_mark_[id] != repair_epoch_; };
  // Writes the still valid ids of [first, last) merged with the ascending [fresh, fresh_end).
  auto merge_valid = [&](const ClassId* first, const ClassId* last, const ClassId* fresh,
                         const ClassId* fresh_end, ClassId* out) {
    for (; first != last; ++first) {
      const ClassId id = *first;
      if (!still_valid(id)) continue;
      while (fresh != fresh_end && *fresh < id)
        *out++ = *fresh++;
      *out++ = id;
    }
    return std::copy(fresh, fresh_end, out);
  };

  std::vector<ClassId> merged(index_classes_.size() + fresh_ids.size());
  std::vector<std::uint32_t> merged_start(rows + 1, 0);
  ClassId* out = merged.data();
  for (std::size_t r = 0; r < rows; ++r) {
    const bool had_row = r + 1 < row_start_.size();
    const ClassId* row = index_classes_.data();
    out =
        merge_valid(row + (had_row ? row_start_[r] : 0), row + (had_row ? row_start_[r + 1] : 0),
                    fresh_ids.data() + fresh_start[r], fresh_ids.data() + fresh_start[r + 1], out);
    merged_start[r + 1] = static_cast<std::uint32_t>(out - merged.data());
  }
  merged.resize(static_cast<std::size_t>(out - merged.data()));
  index_classes_ = std::move(merged);
  row_start_ = std::move(merged_start);

  std::vector<ClassId> all(indexed_classes_.size() + repaired.size());
  out = merge_valid(indexed_classes_.data(), indexed_classes_.data() + indexed_classes_.size(),
                    repaired.data(), repaired.data() + repaired.size(), all.data());
  all.resize(static_cast<std::size_t>(out - all.data()));
  indexed_classes_ = std::move(all);
}

std::span<const ClassId> EGraph::classes_with_op(Symbol op) const {
  const std::uint32_t* row = op_rows_.find(op);
  if (row == nullptr || *row + 1 >= row_start_.size()) return {};
  return std::span<const ClassId>(index_classes_)
      .subspan(row_start_[*row], row_start_[*row + 1] - row_start_[*row]);
}

EClass& EGraph::live_class(ClassId root) {
  if (root >= classes_.size() || !live_[root]) {
    throw InternalError("Invalid id " + std::to_string(root));
  }
  return classes_[root];
}

const EClass& EGraph::get_class(ClassId id) const {
  const ClassId root = find(id);
  if (root >= classes_.size() || !live_[root]) {
    throw InternalError("Invalid id " + std::to_string(root));
  }
  return classes_[root];
}

}  // namespace zembric::egraph
