// EGraph against a naive congruence closure: leaves, deep unary chains over them and binary nodes
// over random earlier terms, added in waves and merged in random batches between rebuilds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/enode.h"
#include "egraph/symbol.h"

namespace zembric::egraph {
namespace {

// The one place the test obtains operators.
Symbol op(const std::string& name) {
  return intern_symbol(name);
}

struct Term {
  Symbol op;
  std::vector<std::size_t> children;  // earlier terms
};

// Leaves a0.., each under a chain f(a), f(f(a)), ... `depth` deep and followed by binary g nodes
// over distinct random pairs of earlier terms: merging two leaves must propagate up whole chains.
std::vector<Term> make_terms(std::mt19937& rng, std::size_t leaves, std::size_t depth,
                             std::size_t binaries_per_leaf) {
  std::vector<Term> terms;
  std::vector<std::pair<std::size_t, std::size_t>> used;
  for (std::size_t i = 0; i < leaves; ++i) {
    terms.push_back({op("a" + std::to_string(i)), {}});
    for (std::size_t k = 0; k < depth; ++k)
      terms.push_back({op("f"), {terms.size() - 1}});
    for (std::size_t k = 0; k < binaries_per_leaf;) {
      const std::pair<std::size_t, std::size_t> pair{rng() % terms.size(), rng() % terms.size()};
      if (std::ranges::find(used, pair) != used.end()) continue;
      used.push_back(pair);
      terms.push_back({op("g"), {pair.first, pair.second}});
      ++k;
    }
  }
  return terms;
}

// Class label per term, for the first `count` terms: the given unions closed under congruence by
// repeated signature passes until nothing changes.
std::vector<std::size_t> reference_closure(
    const std::vector<Term>& terms, std::size_t count,
    const std::vector<std::pair<std::size_t, std::size_t>>& unions) {
  std::vector<std::size_t> label(count);
  for (std::size_t t = 0; t < count; ++t)
    label[t] = t;
  auto merge = [&](std::size_t a, std::size_t b) {
    const std::size_t from = label[a], to = label[b];
    if (from == to) return false;
    for (std::size_t& l : label)
      if (l == from) l = to;
    return true;
  };
  for (const auto& [a, b] : unions)
    merge(a, b);
  for (bool changed = true; changed;) {
    changed = false;
    std::map<std::vector<std::size_t>, std::size_t> by_signature;
    for (std::size_t t = 0; t < count; ++t) {
      std::vector<std::size_t> signature{terms[t].op};
      for (const std::size_t c : terms[t].children)
        signature.push_back(label[c]);
      const auto [it, inserted] = by_signature.try_emplace(std::move(signature), t);
      if (!inserted) changed |= merge(t, it->second);
    }
  }
  return label;
}

class EGraphCongruence : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(EGraphCongruence, MatchesNaiveClosureAfterEveryRebuild) {
  std::mt19937 rng(GetParam());
  const std::vector<Term> terms = make_terms(rng, 8, 6, 3);
  EGraph egraph;
  std::vector<ClassId> ids;  // as add_node returned them, roots or not
  std::vector<std::pair<std::size_t, std::size_t>> unions;
  std::size_t last_total = 0;
  for (int round = 0; round < 14; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Add the next wave, naming children by stored id or by current root at random.
    const std::size_t added = std::min(terms.size(), ids.size() + terms.size() / 8);
    while (ids.size() < added) {
      std::vector<ClassId> children;
      for (const std::size_t c : terms[ids.size()].children)
        children.push_back(rng() % 2 ? ids[c] : egraph.find_compressing(ids[c]));
      ids.push_back(egraph.add_node(ENode(terms[ids.size()].op, children)));
    }
    // Several unions per rebuild, so merges and their congruences pile up before repair.
    for (std::uint32_t k = 1 + rng() % 3; k-- > 0;) {
      const std::size_t a = rng() % ids.size(), b = rng() % ids.size();
      unions.emplace_back(a, b);
      egraph.union_classes(ids[a], ids[b]);
    }
    egraph.rebuild();
    ASSERT_TRUE(egraph.is_clean());
    ASSERT_GE(egraph.total_size(), last_total) << "hash-cons entries are never removed";
    last_total = egraph.total_size();

    const std::vector<std::size_t> label = reference_closure(terms, ids.size(), unions);
    for (std::size_t i = 0; i < ids.size(); ++i)
      for (std::size_t j = i + 1; j < ids.size(); ++j)
        ASSERT_EQ(egraph.find(ids[i]) == egraph.find(ids[j]), label[i] == label[j])
            << "terms " << i << " and " << j;
    std::vector<std::size_t> labels = label;
    std::ranges::sort(labels);
    ASSERT_EQ(egraph.class_count(),
              static_cast<std::size_t>(std::unique(labels.begin(), labels.end()) - labels.begin()));

    for (std::size_t t = 0; t < ids.size(); ++t) {
      const ClassId root = egraph.find(ids[t]);
      std::vector<ClassId> stored, canonical;
      for (const std::size_t c : terms[t].children) {
        stored.push_back(ids[c]);
        canonical.push_back(egraph.find(ids[c]));
      }
      ASSERT_EQ(egraph.lookup(ENode(terms[t].op, stored)), root) << "term " << t;
      const auto& nodes = egraph.get_class(root).nodes;
      ASSERT_NE(std::ranges::find(nodes, ENode(terms[t].op, canonical)), nodes.end())
          << "term " << t << " missing in canonical form from its class";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EGraphCongruence,
                         ::testing::Range(std::uint32_t{1}, std::uint32_t{6}));

}  // namespace
}  // namespace zembric::egraph
