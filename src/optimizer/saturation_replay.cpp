// Saturation replay. The state after each iteration is the set of rules applied so far; its
// classes come from one ascending hash-consing pass (closure), its match counts from one pass over
// each rule's terms. Iterations that accept no rule with a changing match leave the state as it
// is, and a commutation whose terms hold no mirrored pair adds mirrors without merging anything,
// so a run of n terms costs one closure per rule that merges something, a handful in all.
// Why the e-graph agrees, iteration by iteration:
// - Applying a commutation adds the mirror of every canonical node of its operator; merges only
//   ever rename both alike, so from then on every such node has its mirror in its class and the
//   rule changes nothing again. An identity merges every node of its key with its operand at once.
//   Neither creates a node that a later merge could leave without its counterpart, so the classes
//   after an iteration are those of the rules applied so far, whatever the order of application.
// - A rule's count is the number of distinct canonical nodes of its key and arity: ordered pairs
//   of operand classes for a commutation (both orders of each pair once it has been applied), and
//   operand classes for an identity.
// - The node limit: the e-graph's total size never exceeds the nodes it was given plus the mirrors
//   (one per commutative term at most) plus one per re-keying of a node, and a node is re-keyed
//   only after one of its operand classes lost a merge. A class loses to one with at least as many
//   uses, so in one iteration a use sees at most log2 of its class's uses such losses, and at most
//   one per merge that formed its class in that iteration. The sum of that bound over the uses and
//   iterations is checked against the limit; beyond it the replay declines and the e-graph runs.
#include "optimizer/saturation_replay.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "egraph/backoff_rule_scheduler.h"
#include "support/flat_id_index.h"
#include "support/no_index.h"
#include "support/seeded_hash.h"

namespace zembric {
namespace {

using Kind = ReplayedRule::Kind;

// A rule bound to this graph: the terms its searcher can match, whether it has been applied, and
// its match count.
struct BoundRule {
  egraph::Symbol name;
  Kind kind;
  std::span<const TermIndex> terms;  // in Replay::rule_terms_
  bool applied = false;
  bool mirrors_unchecked = false;    // applied in this iteration, adding mirrors
  std::optional<std::size_t> count;  // at the current classes; cleared when they change
};

class Replay {
 public:
  // Each rule's terms point into rule_terms_, which a copy would not follow.
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;
  Replay(const TermGraph& graph, std::span<const ReplayedRule> rules)
      : graph_(graph), seed_(fresh_hash_seed()) {
    const KeyTable& keys = graph.key_table();
    commute_of_key_.assign(keys.size(), kNoIndex);
    identity_of_key_.assign(keys.size(), kNoIndex);
    rules_.reserve(rules.size());
    for (const ReplayedRule& rule : rules) {
      // A rule whose key no term has could match nothing; the engine leaves it out as well.
      const KeyId key = keys.find(rule.key);
      if (key == kNoIndex) continue;
      auto& of_key = rule.kind == Kind::Commute ? commute_of_key_ : identity_of_key_;
      // Two rules over one key would both match its nodes; not a table the engine has.
      supported_ = supported_ && of_key[key] == kNoIndex;
      of_key[key] = static_cast<std::uint32_t>(rules_.size());
      rules_.push_back({rule.name, rule.kind, {}, false, false, std::nullopt});
    }
    bucket_rule_terms();
    // Before any rule, each class is a term of its own, unless two terms are equal.
    rep_.resize(graph.size());
    std::iota(rep_.begin(), rep_.end(), TermIndex{0});
    if (!graph.distinct()) close();
  }

  // Runs the schedule; false when it cannot vouch for the runner's result.
  bool run(std::size_t iter_limit, std::size_t node_limit) {
    if (!supported_) return false;
    egraph::BackoffRuleScheduler scheduler;
    scheduler.reserve(rules_.size());
    for (std::size_t iteration = 0; iteration < iter_limit; ++iteration) {
      bool changed = false;
      // Whether a class may change: a commutation that only adds mirrors changes the e-graph
      // (the runner's notion) but merges nothing, and then a closure would leave every class and
      // tally as it is.
      bool merges = false;
      bool newly_applied = false;
      for (BoundRule& rule : rules_) {
        if (!scheduler.allowance(iteration, rule.name)) continue;
        if (!rule.count) rule.count = count(rule);
        if (!scheduler.record_search(iteration, rule.name, *rule.count)) continue;
        if (rule.applied) continue;
        if (!merges && changes(rule)) {
          changed = true;
          (rule.kind == Kind::Identity ? merges : rule.mirrors_unchecked) = true;
        }
        rule.applied = newly_applied = true;
      }
      // Looked for only where no identity merges anyway.
      for (BoundRule& rule : rules_) {
        merges = merges || (rule.mirrors_unchecked && mirrors_a_term(rule));
        rule.mirrors_unchecked = false;
      }
      if (newly_applied) {
        // Applying a commutation doubles its count even where no class changes.
        for (BoundRule& rule : rules_)
          rule.count.reset();
      }
      if (merges) {
        close(&tally_);
        rekey_bound_ += rekeys(tally_);
      }
      if (!changed && scheduler.can_stop(iteration)) break;
    }
    return graph_.size() + mirrors() + rekey_bound_ <= node_limit;
  }

  std::vector<TermIndex> take_classes() { return std::move(rep_); }

 private:
  // Each rule's terms, ascending, as one array bucketed by rule: counted first, so that a small
  // graph makes one allocation here rather than a growing list per rule.
  void bucket_rule_terms() {
    // end[r + 1] first counts rule r's terms; summed, end[r] is where rule r starts, and filling
    // moves it on to where rule r ends.
    std::vector<std::size_t> end(rules_.size() + 1, 0);
    const auto size = static_cast<TermIndex>(graph_.size());
    for (TermIndex t = 0; t < size; ++t) {
      const std::uint32_t rule = rule_of(t);
      if (rule != kNoIndex) ++end[rule + 1];
    }
    std::partial_sum(end.begin(), end.end(), end.begin());
    rule_terms_.resize(end.back());
    for (TermIndex t = 0; t < size; ++t) {
      const std::uint32_t rule = rule_of(t);
      if (rule != kNoIndex) rule_terms_[end[rule]++] = t;
    }
    std::size_t begin = 0;
    for (std::size_t r = 0; r < rules_.size(); ++r) {
      rules_[r].terms = std::span<const TermIndex>(rule_terms_).subspan(begin, end[r] - begin);
      begin = end[r];
    }
  }

  std::uint32_t rule_of(TermIndex t) const {
    const std::size_t arity = graph_.children(t).size();
    if (arity == 2) return commute_of_key_[graph_.key_id(t)];
    if (arity == 1) return identity_of_key_[graph_.key_id(t)];
    return kNoIndex;
  }
  // The kind of the applied rule that matches t, or none.
  std::optional<Kind> applied_kind(TermIndex t) const {
    const std::uint32_t rule = rule_of(t);
    if (rule == kNoIndex || !rules_[rule].applied) return std::nullopt;
    return rules_[rule].kind;
  }

  // What a closure tells the re-keying bound, per class after it: how many classes from before it
  // the class absorbed, and its uses by terms (twice for an applied commutation, whose mirror
  // uses it too).
  struct ClassTally {
    std::vector<std::uint32_t> merged;
    std::vector<std::uint64_t> uses;
  };

  // rep_[t]: the earliest term of t's class under the rules applied so far. Each term's slot in
  // the table is prefetched a few terms ahead: its operands may still be in the window, so their
  // classes from before the pass (still in rep_) stand in for the new ones, which mostly agree.
  // With a tally, also counts what rekeys() needs, in the same pass: a term's operands precede it,
  // so their classes are final when it is reached, and its own slot still holds its class from
  // before until it is overwritten.
  [[gnu::hot]] void close(ClassTally* tally = nullptr) {
    const std::size_t n = graph_.size();
    index_.clear();
    index_.reserve(n);
    if (tally != nullptr) {
      tally->merged.assign(n, 0);
      tally->uses.assign(n, 0);
    }
    const auto count_for = [&](std::size_t i, std::span<const TermIndex> children, bool was_leader,
                               std::uint64_t weight) {
      if (was_leader) ++tally->merged[rep_[i]];
      for (const TermIndex child : children)
        tally->uses[rep_[child]] += weight;
    };
    // Below this the table stays in the caches, and hashing twice would only cost.
    const bool prefetching = n >= kPrefetchFrom;
    for (std::size_t i = 0; i < n; ++i) {
      if (prefetching && i + kAhead < n) {
        const auto ahead = static_cast<TermIndex>(i + kAhead);
        const std::optional<Kind> kind = applied_kind(ahead);
        if (kind != Kind::Identity) index_.prefetch(node_hash(ahead, kind == Kind::Commute));
      }
      const auto t = static_cast<TermIndex>(i);
      const auto children = graph_.children(t);
      const bool was_leader = rep_[i] == t;
      const std::optional<Kind> kind = applied_kind(t);
      if (kind == Kind::Identity) {
        rep_[i] = rep_[children[0]];
        if (tally != nullptr) count_for(i, children, was_leader, 1);
        continue;
      }
      const bool commutes = kind == Kind::Commute;
      const KeyId key = graph_.key_id(t);
      const std::uint64_t hash = node_hash(t, commutes);
      const std::uint32_t found = index_.find_or_insert(hash, t, [&](std::uint32_t other) {
        const auto held = graph_.children(other);
        if (graph_.key_id(other) != key || held.size() != children.size()) return false;
        bool same = true;
        for (std::size_t k = 0; k < held.size() && same; ++k)
          same = rep_[held[k]] == rep_[children[k]];
        return same || (commutes && rep_[held[0]] == rep_[children[1]] &&
                        rep_[held[1]] == rep_[children[0]]);
      });
      rep_[i] = found == kNoIndex ? t : found;
      if (tally != nullptr) count_for(i, children, was_leader, commutes ? 2 : 1);
    }
  }
  // Far enough ahead to overlap the misses of a table beyond the caches.
  static constexpr std::size_t kAhead = 8;
  static constexpr std::size_t kPrefetchFrom = std::size_t{1} << 15;
  // The hash of t's node over its operands' classes in rep_; unordered operands for an applied
  // commutation.
  std::uint64_t node_hash(TermIndex t, bool commutes) const {
    const auto children = graph_.children(t);
    SeededHasher h(seed_);
    h.add_u64(graph_.key_id(t));
    h.add_u64(children.size());
    if (commutes) {
      const TermIndex a = rep_[children[0]];
      const TermIndex b = rep_[children[1]];
      h.add_u64(std::min(a, b));
      h.add_u64(std::max(a, b));
    } else {
      for (const TermIndex c : children)
        h.add_u64(rep_[c]);
    }
    return h.finish();
  }

  // The distinct canonical nodes the rule's searcher matches at the current classes. For a
  // commutation, those are the class leaders among its terms: close() hash-conses them by ordered
  // operand classes until the rule is applied and by unordered ones after (a rule applied without
  // changing anything has equal operand classes everywhere, where both agree), and once applied a
  // node over two classes stands for both its orders. For an identity: its distinct operand
  // classes, ticked off in a table kept between calls.
  std::size_t count(const BoundRule& rule) {
    std::size_t total = 0;
    if (rule.kind == Kind::Commute) {
      for (const TermIndex t : rule.terms) {
        if (rep_[t] != t) continue;
        const auto children = graph_.children(t);
        total += rule.applied && rep_[children[0]] != rep_[children[1]] ? 2 : 1;
      }
      return total;
    }
    if (ticked_.empty() || tick_ == kNoIndex) {
      ticked_.assign(graph_.size(), 0);
      tick_ = 0;
    }
    ++tick_;
    for (const TermIndex t : rule.terms) {
      const TermIndex operand = rep_[graph_.children(t)[0]];
      if (ticked_[operand] == tick_) continue;
      ticked_[operand] = tick_;
      ++total;
    }
    return total;
  }

  // Whether applying the rule, not applied yet, merges anything: a commutation whose operand
  // classes differ somewhere (its mirror is new), an identity node outside its operand's class.
  bool changes(const BoundRule& rule) const {
    return std::ranges::any_of(rule.terms, [&](TermIndex t) {
      const auto children = graph_.children(t);
      return rule.kind == Kind::Commute ? rep_[children[0]] != rep_[children[1]]
                                        : rep_[t] != rep_[children[0]];
    });
  }

  // Whether two terms of a commutation not applied yet have mirrored operand classes, the only
  // merge its application can start; the terms of one key and arity are hash-consed by their
  // classes in order until then, so no other pair of them can become equal.
  bool mirrors_a_term(const BoundRule& rule) {
    index_.clear();
    index_.reserve(rule.terms.size());
    for (const TermIndex t : rule.terms) {
      const auto children = graph_.children(t);
      const TermIndex a = rep_[children[0]];
      const TermIndex b = rep_[children[1]];
      if (a == b) continue;
      // Entries of one unordered pair share a hash, so the probe meets every earlier one.
      const std::uint32_t mirror =
          index_.find_or_insert(node_hash(t, true), t, [&](std::uint32_t other) {
            const auto held = graph_.children(other);
            return rep_[held[0]] == b && rep_[held[1]] == a;
          });
      if (mirror != kNoIndex) return true;
    }
    return false;
  }

  // The commutative terms whose rule has been applied: each may have added its mirror.
  std::uint64_t mirrors() const {
    std::uint64_t count = 0;
    for (const BoundRule& rule : rules_) {
      if (rule.kind == Kind::Commute && rule.applied) count += rule.terms.size();
    }
    return count;
  }

  // An upper bound on the re-keyings of the iteration whose closure filled `tally` (see the file
  // comment): every use of a class that merged, times the losses it can see, at most one per merge
  // of its class in this iteration and log2 of the class's uses. Mirror nodes count as uses too,
  // and their own merges cost none: a fresh mirror has no users.
  static std::uint64_t rekeys(const ClassTally& tally) {
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < tally.merged.size(); ++k) {
      const std::uint32_t merged = tally.merged[k];
      const std::uint64_t uses = tally.uses[k];
      if (merged < 2 || uses == 0) continue;
      const auto losses = static_cast<std::uint64_t>(std::bit_width(uses) - 1);
      total += uses * std::min<std::uint64_t>(losses, merged - 1);
    }
    return total;
  }

  const TermGraph& graph_;
  std::uint64_t seed_;
  std::vector<BoundRule> rules_;
  std::vector<TermIndex> rule_terms_;
  std::vector<std::uint32_t> commute_of_key_;
  std::vector<std::uint32_t> identity_of_key_;
  std::vector<TermIndex> rep_;
  FlatIdIndex index_;                  // close()'s hash-consing and the mirror check
  std::vector<std::uint32_t> ticked_;  // count()'s operand classes: the tick that last saw each
  std::uint32_t tick_ = 0;
  ClassTally tally_;  // close()'s tally, its arrays reused by each changing pass
  std::uint64_t rekey_bound_ = 0;
  bool supported_ = true;
};

}  // namespace

[[gnu::hot]] std::optional<std::vector<TermIndex>> replay_saturation(
    const TermGraph& input, std::span<const ReplayedRule> rules, std::size_t iter_limit,
    std::size_t node_limit) {
  if (input.size() > FlatIdIndex::kMaxEntries) return std::nullopt;
  Replay replay(input, rules);
  if (!replay.run(iter_limit, node_limit)) return std::nullopt;
  return replay.take_classes();
}

}  // namespace zembric
