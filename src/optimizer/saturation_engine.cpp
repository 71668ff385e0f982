// SaturationEngine. The classes a run ends with come from the replay of the runner's schedule
// (saturation_replay.h) when it can vouch for them, else from an e-graph. Load: one e-node per term
// whose operator is the term's key id, so nothing that outlives the run holds user text; the
// rules' operators are renamed into the same ids per run. Saturate: the runner with iteration
// limit 12, node limit 4n + 1024 and its 5-second default. Read back: each term's final class; the
// earliest term of a class represents it, so the output is the representatives in input order
// with children renumbered, sharing the input's key table. Linear apart from the runner; at most
// 2^32 - 1 classes.
#include "optimizer/saturation_engine.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/pattern_reader.h"
#include "egraph/saturation_runner.h"
#include "egraph/symbol.h"
#include "optimizer/rewrite_rules.h"
#include "support/internal_error.h"
#include "support/no_index.h"

namespace zembric {
namespace {

using egraph::ClassId;

egraph::Pattern compile(const std::string& text) {
  auto parsed = egraph::parse_pattern(text);
  if (!parsed) {
    throw InternalError("rule pattern " + text + " does not parse: " + parsed.error().to_string());
  }
  return egraph::Pattern(std::move(parsed).value());
}

egraph::Rewrite make_rule(const std::string& name, const std::string& searcher,
                          const std::string& applier) {
  auto made = egraph::make_rewrite(name, compile(searcher), compile(applier));
  if (!made) throw InternalError(made.error().message);
  return std::move(made).value();
}

// Appending in place sidesteps a false -Wrestrict alarm of g++ 12 on chained operator+.
std::string concat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts)
    text += part;
  return text;
}

bool is_op_key(std::string_view key) {
  return key.size() >= 3 && key.starts_with("op|");
}

// The rules with their operators renamed into this run's key ids, the e-graph's operators. A rule
// whose searcher names an operator that no key of the run spells could match nothing and is left
// out (a rule without matches changes nothing in a run). Another operator that no key spells, in
// an applier, gets an id past the table's end, one per distinct text, which matches no node; only
// the rules' own constant texts were ever interned as symbols. Renaming keeps each pattern's
// compiled program, whose shape does not depend on the operators.
std::vector<egraph::Rewrite> bind_rules(std::span<const egraph::Rewrite> rules,
                                        const KeyTable& keys) {
  std::vector<std::string_view> absent;
  auto bind = [&](egraph::Symbol op) -> egraph::Symbol {
    const std::string_view text = egraph::symbol_text(op);
    const KeyId key = keys.find(text);
    if (key != kNoIndex) return key;
    auto it = std::ranges::find(absent, text);
    if (it == absent.end()) it = absent.insert(it, text);
    const std::size_t id = keys.size() + static_cast<std::size_t>(it - absent.begin());
    if (id >= std::numeric_limits<egraph::Symbol>::max()) {
      throw std::length_error("a reduction handles at most 4294967294 distinct keys");
    }
    return static_cast<egraph::Symbol>(id);
  };
  auto rename_node = [&](egraph::ENode& node) {
    node = egraph::ENode(bind(node.op()), node.children());
  };
  auto rename = [&](const egraph::Pattern& pattern) {
    egraph::Pattern renamed = pattern;
    for (egraph::PatternEntry& entry : renamed.tree) {
      if (auto* node = std::get_if<egraph::ENode>(&entry)) rename_node(*node);
    }
    for (egraph::Instruction& instruction : renamed.program.instructions) {
      if (auto* bind_op = std::get_if<egraph::Bind>(&instruction)) {
        bind_op->op = bind(bind_op->op);
      } else if (auto* lookup = std::get_if<egraph::Lookup>(&instruction)) {
        for (egraph::LookupEntry& entry : lookup->term) {
          if (auto* node = std::get_if<egraph::ENode>(&entry)) rename_node(*node);
        }
      }
    }
    return renamed;
  };
  auto searchable = [&](const egraph::Pattern& searcher) {
    return std::ranges::all_of(searcher.tree, [&](const egraph::PatternEntry& entry) {
      const auto* node = std::get_if<egraph::ENode>(&entry);
      return node == nullptr || keys.find(egraph::symbol_text(node->op())) != kNoIndex;
    });
  };
  std::vector<egraph::Rewrite> bound;
  bound.reserve(rules.size());
  for (const egraph::Rewrite& rule : rules) {
    if (searchable(rule.searcher)) {
      bound.push_back({rule.name, rename(rule.searcher), rename(rule.applier)});
    }
  }
  return bound;
}

}  // namespace

SaturationEngine::SaturationEngine(std::size_t iter_limit) : SaturationEngine() {
  iter_limit_ = iter_limit;
}

SaturationEngine::SaturationEngine(std::size_t iter_limit, std::size_t node_limit)
    : SaturationEngine(iter_limit) {
  node_limit_ = node_limit;
}

SaturationEngine::SaturationEngine() {
  rules_.reserve(kCommutativeOps.size() + kIdentityRules.size());
  for (const std::string_view op : kCommutativeOps) {
    rules_.push_back(make_rule(concat({"commute-", op}), concat({"(op|", op, " ?a ?b)"}),
                               concat({"(op|", op, " ?b ?a)"})));
    replayed_.push_back({rules_.back().name, ReplayedRule::Kind::Commute, concat({"op|", op})});
  }
  for (std::size_t k = 0; k < kIdentityRules.size(); ++k) {
    const std::string key = identity_key(kIdentityRules[k]);
    rules_.push_back(
        make_rule(concat({"identity-", std::to_string(k)}), concat({"(", key, " ?x)"}), "?x"));
    replayed_.push_back({rules_.back().name, ReplayedRule::Kind::Identity, key});
  }
}

[[gnu::hot]] const SaturationEngine& SaturationEngine::standard() {
  // A failed construction (out of memory) is retried by the next call.
  static const SaturationEngine engine;
  return engine;
}

[[gnu::hot]] std::size_t SaturationEngine::check_terms(const TermGraph& input) const {
  const std::size_t n = input.size();
  // A graph whose producer vouches for its order is not checked again.
  if (!input.ordered()) {
    for (std::size_t i = 0; i < n; ++i) {
      for (const TermIndex child : input.children(static_cast<TermIndex>(i))) {
        if (child >= i) {
          throw InternalError("term " + std::to_string(i) + " refers to term " +
                              std::to_string(child) + ", which is not earlier");
        }
      }
    }
  }
  return node_limit_.value_or(4 * n + 1024);
}

[[gnu::hot]] TermGraph SaturationEngine::run(const TermGraph& input,
                                             std::vector<TermIndex>* placement) const {
  const std::size_t node_limit = check_terms(input);
  if (auto classes = replay_saturation(input, replayed_, iter_limit_, node_limit)) {
    // The replay's classes are closed under congruence, so no two classes' earliest terms share
    // their key and child classes: the graph read back holds no two equal terms.
    TermGraph output = read_back(input, std::move(*classes), placement);
    output.mark_distinct();
    return output;
  }
  return read_back(input, saturate(input, node_limit), placement);
}

TermGraph SaturationEngine::run_saturating(const TermGraph& input,
                                           std::vector<TermIndex>* placement,
                                           egraph::StopReason* stop) const {
  const std::size_t node_limit = check_terms(input);
  return read_back(input, saturate(input, node_limit, stop), placement);
}

std::vector<std::uint32_t> SaturationEngine::saturate(const TermGraph& input,
                                                      std::size_t node_limit,
                                                      egraph::StopReason* stop) const {
  const std::size_t n = input.size();
  const KeyTable& keys = input.key_table();

  // Load: one e-node per term, its operator the term's key id; equal keys over equal classes
  // share a class from the start.
  egraph::EGraph graph;
  graph.reserve(n);
  std::vector<ClassId> class_of(n);
  std::vector<ClassId> children;
  // Terms ahead whose hash-cons slots are prefetched: at a million terms nearly every insertion
  // misses the cache, and a term's node is known once its children's classes are.
  constexpr std::size_t kLookahead = 8;
  auto prefetch_term = [&](std::size_t j) {
    const auto t = static_cast<TermIndex>(j);
    const auto term_children = input.children(t);
    if (term_children.size() > egraph::ENode::kInlineChildren) return;
    std::array<ClassId, egraph::ENode::kInlineChildren> ahead{};
    for (std::size_t c = 0; c < term_children.size(); ++c) {
      // Not yet loaded: nothing to prefetch.
      if (term_children[c] >= j - kLookahead) return;
      ahead[c] = class_of[term_children[c]];
    }
    graph.prefetch(egraph::ENode(input.key_id(t), std::span(ahead.data(), term_children.size())));
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto t = static_cast<TermIndex>(i);
    if (i + kLookahead < n) prefetch_term(i + kLookahead);
    children.clear();
    for (const TermIndex child : input.children(t))
      children.push_back(class_of[child]);
    class_of[i] = graph.find(graph.add_node(egraph::ENode(input.key_id(t), children)));
  }
  children = {};

  const std::vector<egraph::Rewrite> rules = bind_rules(rules_, keys);
  egraph::SaturationRunner runner;
  runner.with_egraph(std::move(graph)).with_iter_limit(iter_limit_).with_node_limit(node_limit);
  runner.run(rules);
  if (stop != nullptr) *stop = *runner.stop_reason();
  const egraph::EGraph& saturated = runner.egraph();
  for (std::size_t i = 0; i < n; ++i)
    class_of[i] = saturated.find(class_of[i]);
  return class_of;
}

[[gnu::hot]] TermGraph SaturationEngine::read_back(const TermGraph& input,
                                                   std::vector<std::uint32_t> final_class,
                                                   std::vector<TermIndex>* placement) {
  const std::size_t n = input.size();
  const KeyTable& keys = input.key_table();
  // Number the classes by their earliest term.
  std::uint32_t max_class = 0;
  for (const std::uint32_t eclass : final_class)
    max_class = std::max(max_class, eclass);
  std::vector<TermIndex> output_index(n == 0 ? 0 : std::size_t{max_class} + 1, kNoIndex);
  auto output_of = [&](std::uint32_t eclass) {
    const TermIndex index = output_index[eclass];
    if (index == kNoIndex) {
      throw InternalError("no entry found for key: e-class " + std::to_string(eclass) +
                          " holds no earlier term");
    }
    return index;
  };

  // The boundary flag follows from the key, so it is decided once per distinct key (2: not yet).
  std::vector<std::uint8_t> op_key(keys.size(), 2);
  TermGraph output(input.keys());
  // At most one term per input term.
  TermGraph::Filler filler(output, n, input.all_children().size());
  TermIndex emitted = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (output_index[final_class[i]] != kNoIndex) continue;  // not its class's earliest term
    const auto t = static_cast<TermIndex>(i);
    const KeyId key = input.key_id(t);
    if (op_key[key] == 2) op_key[key] = is_op_key(keys.text(key)) ? 1 : 0;
    filler.begin_term(key, op_key[key] == 0);
    for (const TermIndex child : input.children(t))
      filler.add_child(output_of(final_class[child]));
    filler.end_term();
    output_index[final_class[i]] = emitted++;
  }
  filler.finish();

  if (placement != nullptr) {
    placement->resize(n);
    for (std::size_t i = 0; i < n; ++i)
      (*placement)[i] = output_of(final_class[i]);
  }

  output.roots.reserve(input.roots.size());
  for (const TermIndex root : input.roots) {
    if (root >= n) {
      throw InternalError("root " + std::to_string(root) + " refers to no term");
    }
    output.roots.push_back(output_of(final_class[root]));
  }
  // Each class is emitted at its earliest term, after the classes of that term's children.
  output.mark_ordered();
  return output;
}

}  // namespace zembric
