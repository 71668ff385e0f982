// Stage fusion over the hash-consed graph (children precede their users).
// Single-use rule: an operator joins the stage of its consumer when that consumer is an operator,
// is its only use, and the operator is not an output. Maximal rule: an operator that is not an
// output joins the stage shared by all of its consumers when they are all operators. Either way
// the nodes are visited in descending order, so a consumer's stage is final when its operands are
// reached, and each node's stage is named by its largest member, the only one used from outside
// it or an output. Emitting each stage when the ascending walk reaches its largest member is
// therefore topological and needs no sort. All tables are flat arrays indexed by graph node, in
// one allocation, so the pass is linear; it handles at most 2^32 - 2 graph nodes.
// No two emitted nodes are equal, given a graph without two equal terms: distinct operands of a
// node lie in distinct stages, so by induction in emission order, two equal nodes would come from
// equal terms, member by member.
#include "optimizer/stage_fusion.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/internal_error.h"
#include "support/no_index.h"

namespace zembric {
namespace {

using Index = std::uint32_t;

[[gnu::hot]] void check_graph(const TermGraph& graph) {
  const std::size_t count = graph.size();
  if (count >= kNoIndex) throw std::length_error("stage fusion handles at most 4294967294 nodes");
  if (graph.ordered()) return;
  for (Index i = 0; i < count; ++i) {
    for (const TermIndex child : graph.children(i)) {
      if (child >= i) {
        throw InternalError("graph node " + std::to_string(i) + " reads node " +
                            std::to_string(child) + ", which is not earlier");
      }
    }
  }
  for (const TermIndex root : graph.roots) {
    if (root >= count) throw InternalError("graph root " + std::to_string(root) + " is no node");
  }
}

// The per-node tables, each `count` entries of one allocation; only those a rule reads before
// writing are filled here.
struct Tables {
  explicit Tables(Index count)
      : block(std::make_unique_for_overwrite<Index[]>(std::size_t{count} * kTables)),
        stage_of(block.get()),
        next(stage_of + count),
        head(next + count),
        new_id(head + count),
        slot(new_id + count),
        stamp(slot + count),
        is_output(stamp + count),
        uses(is_output + count),
        consumer(uses + count) {
    std::fill(new_id, new_id + count, kNoIndex);
    std::fill(stamp, stamp + count, kNoIndex);
    std::fill(is_output, is_output + count, 0);
    std::fill(uses, uses + count, 0);
  }
  static constexpr std::size_t kTables = 9;
  std::unique_ptr<Index[]> block;
  Index* stage_of;  // the largest member of the node's stage (the node itself if a boundary)
  Index* next;      // the next member of the node's stage, ascending, or kNoIndex after the last
  Index* head;      // of a stage's largest member: the stage's first member
  Index* new_id;    // of a stage's largest member: the emitted node, or kNoIndex before
  // slot[m]: position of member m inside its stage, or of outside stage g among the inputs of the
  // stage being built when stamp[g] names it. Members and outside stages never overlap.
  Index* slot;
  Index* stamp;
  Index* is_output;
  // Single-use rule: uses stop at 2, as only "exactly one" matters; the last consumer is then the
  // only one.
  Index* uses;
  Index* consumer;
};

void single_use_stages(const TermGraph& graph, const Tables& t) {
  const Index count = static_cast<Index>(graph.size());
  for (Index v = 0; v < count; ++v) {
    for (const TermIndex c : graph.children(v)) {
      if (t.uses[c] < 2) ++t.uses[c];
      t.consumer[c] = v;
    }
  }
  for (Index u = count; u-- > 0;) {
    const bool joins = !graph.is_boundary(u) && t.uses[u] == 1 && t.is_output[u] == 0 &&
                       !graph.is_boundary(t.consumer[u]);
    t.stage_of[u] = joins ? t.stage_of[t.consumer[u]] : u;
  }
}

void maximal_stages(const TermGraph& graph, const Tables& t) {
  const Index count = static_cast<Index>(graph.size());
  // Consumer lists as one flat array, each list in ascending order of the user, one entry per use.
  std::vector<std::size_t> begin(std::size_t{count} + 1, 0);
  for (const TermIndex c : graph.all_children())
    ++begin[c + 1];
  std::partial_sum(begin.begin(), begin.end(), begin.begin());
  std::vector<Index> consumers(begin[count]);
  {
    std::vector<std::size_t> cursor(begin.begin(), begin.end() - 1);
    for (Index v = 0; v < count; ++v) {
      for (const TermIndex c : graph.children(v))
        consumers[cursor[c]++] = v;
    }
  }

  for (Index u = count; u-- > 0;) {
    t.stage_of[u] = u;
    if (graph.is_boundary(u) || t.is_output[u] != 0 || begin[u] == begin[u + 1]) continue;
    const Index shared = t.stage_of[consumers[begin[u]]];
    bool fuse = true;
    for (std::size_t k = begin[u]; k < begin[u + 1] && fuse; ++k) {
      const Index v = consumers[k];
      fuse = !graph.is_boundary(v) && t.stage_of[v] == shared;
    }
    if (fuse) t.stage_of[u] = shared;
  }
}

}  // namespace

[[gnu::hot]] FusionResult fuse_and_emit(const TermGraph& graph, const PrototypeTable& prototypes,
                                        bool maximal_fusion, bool locate) {
  check_graph(graph);
  const Index count = static_cast<Index>(graph.size());
  const Tables t(count);
  for (const TermIndex root : graph.roots)
    t.is_output[root] = 1;
  if (maximal_fusion) {
    maximal_stages(graph, t);
  } else {
    single_use_stages(graph, t);
  }

  // Each stage's members as a list through next[], ascending: a descending walk meets a stage's
  // largest member first and puts each smaller one in front.
  std::size_t groups = 0;
  for (Index i = count; i-- > 0;) {
    const Index top = t.stage_of[i];
    groups += top == i;
    t.next[i] = top == i ? kNoIndex : t.head[top];
    t.head[top] = i;
  }

  auto new_id_of = [&t](Index top) -> NodeId {
    if (t.new_id[top] == kNoIndex) {
      throw InternalError("no entry found for key: group " + std::to_string(top) +
                          " is used before it is emitted");
    }
    return t.new_id[top];
  };

  // A node's inputs are collected here and copied out at their exact size: no allocation for a
  // boundary node's list, one per stage instead of a growing vector's several.
  std::vector<NodeId> stage_inputs;

  FusionResult result;
  result.nodes.reserve(groups);
  if (locate) result.locations.resize(count);
  for (Index top = 0; top < count; ++top) {
    if (t.stage_of[top] != top) continue;  // not the largest member of its stage
    const Index id = static_cast<Index>(result.nodes.size());
    stage_inputs.clear();

    if (graph.is_boundary(top)) {
      for (const TermIndex c : graph.children(top))
        stage_inputs.push_back(new_id_of(t.stage_of[c]));
      result.nodes.push_back(prototypes.at(graph.key_id(top)).with_inputs(stage_inputs));
      ++result.boundary_nodes;
      if (locate) result.locations[top] = {id, ValueLocation::kWhole};
    } else {
      std::size_t member_count = 0;
      std::size_t token_count = 0;
      std::size_t text_size = 0;
      for (Index m = t.head[top]; m != kNoIndex; m = t.next[m]) {
        ++member_count;
        token_count += graph.children(m).size();
        text_size += graph.key(m).size();
      }
      StageMembers stage_members(member_count, token_count, text_size);
      Index k = 0;
      for (Index m = t.head[top]; m != kNoIndex; m = t.next[m], ++k) {
        t.slot[m] = k;
        stage_members.add_member(graph.key(m));
        for (const TermIndex c : graph.children(m)) {
          const Index g = t.stage_of[c];
          if (g == top) {
            stage_members.add_token({MemberTokenKind::Member, t.slot[c]});
            continue;
          }
          if (t.stamp[g] != id) {
            t.stamp[g] = id;
            t.slot[g] = static_cast<Index>(stage_inputs.size());
            stage_inputs.push_back(new_id_of(g));
          }
          stage_members.add_token({MemberTokenKind::Input, t.slot[g]});
        }
        // The last member's value is the stage's own result.
        if (locate) result.locations[m] = {id, m == top ? ValueLocation::kWhole : k};
      }
      result.nodes.push_back(
          Node::stage(std::span<const NodeId>(stage_inputs), std::move(stage_members)));
      ++result.stages;
    }
    t.new_id[top] = id;
  }

  result.outputs.reserve(graph.roots.size());
  for (const TermIndex root : graph.roots)
    result.outputs.push_back(new_id_of(t.stage_of[root]));
  return result;
}

}  // namespace zembric
