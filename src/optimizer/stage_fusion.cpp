// Stage fusion over the hash-consed graph (children precede their users).
// Single-use rule: an operator joins the stage of its consumer when that consumer is an operator,
// is its only use, and the operator is not an output; groups are kept in a union-find with union
// by smaller index and full path compression. Maximal rule: visiting nodes in descending order,
// an operator that is not an output joins the stage shared by all of its consumers when they are
// all operators; consumers come later, so their stage is final when a node is visited.
// Either way only a group's largest member is used from outside it or is an output, so emitting
// the groups in order of their largest member is topological and needs no sort: a group is
// emitted when the ascending walk reaches its largest member. All tables are flat arrays indexed
// by graph node, so the pass is linear; it handles at most 2^32 - 2 graph nodes.
// No two emitted nodes are equal, given a graph without two equal terms: distinct operands of a
// node lie in distinct groups (a group is used from outside through its largest member only), so
// by induction in emission order, two equal nodes would come from equal terms, member by member.
#include "optimizer/stage_fusion.h"

#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/internal_error.h"
#include "support/no_index.h"

namespace zembric {
namespace {

using Index = std::uint32_t;

void check_graph(const TermGraph& graph) {
  const std::size_t count = graph.size();
  if (count >= kNoIndex) throw std::length_error("stage fusion handles at most 4294967294 nodes");
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

std::vector<Index> single_use_stages(const TermGraph& graph, const std::vector<bool>& is_output) {
  const Index count = static_cast<Index>(graph.size());
  // Only "exactly one use" matters, so counts stop at 2 and the last consumer is the only one.
  std::vector<std::uint8_t> uses(count, 0);
  std::vector<Index> consumer(count, kNoIndex);
  for (Index v = 0; v < count; ++v) {
    for (const TermIndex c : graph.children(v)) {
      if (uses[c] < 2) ++uses[c];
      consumer[c] = v;
    }
  }

  std::vector<Index> parent(count);
  std::iota(parent.begin(), parent.end(), Index{0});
  auto find = [&parent](Index x) {
    Index root = x;
    while (parent[root] != root)
      root = parent[root];
    while (parent[x] != root)
      x = std::exchange(parent[x], root);
    return root;
  };
  for (Index u = 0; u < count; ++u) {
    if (graph.is_boundary(u) || uses[u] != 1 || is_output[u]) continue;
    const Index c = consumer[u];
    if (graph.is_boundary(c)) continue;
    const Index ru = find(u);
    const Index rc = find(c);
    if (ru < rc) {
      parent[rc] = ru;
    } else if (rc < ru) {
      parent[ru] = rc;
    }
  }

  std::vector<Index> stage_of(count);
  for (Index i = 0; i < count; ++i)
    stage_of[i] = graph.is_boundary(i) ? i : find(i);
  return stage_of;
}

std::vector<Index> maximal_stages(const TermGraph& graph, const std::vector<bool>& is_output) {
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

  std::vector<Index> stage_of(count);
  std::iota(stage_of.begin(), stage_of.end(), Index{0});
  for (Index u = count; u-- > 0;) {
    if (graph.is_boundary(u) || is_output[u] || begin[u] == begin[u + 1]) continue;
    const Index shared = stage_of[consumers[begin[u]]];
    bool fuse = true;
    for (std::size_t k = begin[u]; k < begin[u + 1] && fuse; ++k) {
      const Index v = consumers[k];
      fuse = !graph.is_boundary(v) && stage_of[v] == shared;
    }
    if (fuse) stage_of[u] = shared;
  }
  return stage_of;
}

}  // namespace

FusionResult fuse_and_emit(const TermGraph& graph, const PrototypeTable& prototypes,
                           bool maximal_fusion, bool locate) {
  check_graph(graph);
  const Index count = static_cast<Index>(graph.size());

  std::vector<bool> is_output(count, false);
  for (const TermIndex root : graph.roots)
    is_output[root] = true;

  const std::vector<Index> stage_of =
      maximal_fusion ? maximal_stages(graph, is_output) : single_use_stages(graph, is_output);

  // Members of each group, ascending, as one flat array indexed through group_begin.
  std::vector<Index> group_begin(std::size_t{count} + 1, 0);
  for (const Index rep : stage_of)
    ++group_begin[rep + 1];
  std::partial_sum(group_begin.begin(), group_begin.end(), group_begin.begin());
  std::vector<Index> members(count);
  std::size_t groups = 0;
  {
    std::vector<Index> cursor(group_begin.begin(), group_begin.end() - 1);
    for (Index i = 0; i < count; ++i) {
      groups += stage_of[i] == i;
      members[cursor[stage_of[i]]++] = i;
    }
  }

  std::vector<Index> new_id(count, kNoIndex);
  auto new_id_of = [&new_id](Index rep) -> NodeId {
    if (new_id[rep] == kNoIndex) {
      throw InternalError("no entry found for key: group " + std::to_string(rep) +
                          " is used before it is emitted");
    }
    return new_id[rep];
  };
  // slot[m]: position of member m inside its stage, or of outside group g among the stage's
  // inputs when stamp[g] names the stage being built. Members and outside groups never overlap.
  std::vector<Index> slot(count, 0);
  std::vector<Index> stamp(count, kNoIndex);

  // A node's inputs are collected here and copied out at their exact size: no allocation for a
  // boundary node's list, one per stage instead of a growing vector's several.
  std::vector<NodeId> stage_inputs;

  FusionResult result;
  result.nodes.reserve(groups);
  if (locate) result.locations.resize(count);
  for (Index i = 0; i < count; ++i) {
    const Index rep = stage_of[i];
    if (members[group_begin[rep + 1] - 1] != i) continue;  // not the group's largest member
    const Index id = static_cast<Index>(result.nodes.size());

    if (graph.is_boundary(rep)) {
      stage_inputs.clear();
      for (const TermIndex c : graph.children(rep))
        stage_inputs.push_back(new_id_of(stage_of[c]));
      result.nodes.push_back(prototypes.at(graph.key_id(rep)).with_inputs(stage_inputs));
      ++result.boundary_nodes;
      if (locate) result.locations[rep] = {id, ValueLocation::kWhole};
    } else {
      const Index first = group_begin[rep];
      const Index last = group_begin[rep + 1];
      stage_inputs.clear();
      std::size_t token_count = 0;
      std::size_t text_size = 0;
      for (Index k = first; k < last; ++k) {
        token_count += graph.children(members[k]).size();
        text_size += graph.key(members[k]).size();
      }
      StageMembers stage_members(last - first, token_count, text_size);
      for (Index k = first; k < last; ++k) {
        const Index m = members[k];
        slot[m] = k - first;
        stage_members.add_member(graph.key(m));
        for (const TermIndex c : graph.children(m)) {
          const Index g = stage_of[c];
          if (g == rep) {
            stage_members.add_token({MemberTokenKind::Member, slot[c]});
            continue;
          }
          if (stamp[g] != id) {
            stamp[g] = id;
            slot[g] = static_cast<Index>(stage_inputs.size());
            stage_inputs.push_back(new_id_of(g));
          }
          stage_members.add_token({MemberTokenKind::Input, slot[g]});
        }
        // The last member's value is the stage's own result.
        if (locate) result.locations[m] = {id, k + 1 == last ? ValueLocation::kWhole : k - first};
      }
      result.nodes.push_back(
          Node::stage(std::span<const NodeId>(stage_inputs), std::move(stage_members)));
      ++result.stages;
    }
    new_id[rep] = id;
  }

  result.outputs.reserve(graph.roots.size());
  for (const TermIndex root : graph.roots)
    result.outputs.push_back(new_id_of(stage_of[root]));
  return result;
}

}  // namespace zembric
