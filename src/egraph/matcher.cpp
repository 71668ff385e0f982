// Pattern search. Candidates come from the operator index (ascending class ids), each run through
// a backtracking machine over compiled instructions; single-Bind programs take a direct loop.
// Buffers are per search, not per class: the machine registers and the substitution list are
// reused across candidate classes.
#include "egraph/matcher.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

// Depth-first backtracking over a single register vector that each branch cuts back to the
// length it needs before extending it. A program that is one Bind of the searched class (an
// operator over distinct variables, as every rule of the rewrite engine) takes a direct loop over
// the class's nodes that records the same substitutions in the same order.
class Machine {
 public:
  Machine(const Program& program, const EGraph& egraph)
      : program_(program),
        egraph_(egraph),
        single_bind_(program.instructions.size() == 1 ? std::get_if<Bind>(&program.instructions[0])
                                                      : nullptr) {
    if (single_bind_ != nullptr && single_bind_->i != 0) single_bind_ = nullptr;
  }

  // Appends at most `limit` (> 0) substitutions rooted at `eclass` to `out`. The machine is
  // reused across classes so its buffers are allocated once per search.
  void run(ClassId eclass, std::size_t limit, SubstitutionList& out) {
    remaining_ = limit;
    out_ = &out;
    done_ = false;
    if (single_bind_ != nullptr) {
      run_single_bind(eclass);
      return;
    }
    registers_.assign(1, eclass);
    step(0);
  }

  bool is_single_bind() const { return single_bind_ != nullptr; }

  // Substitutions a single-Bind program finds in `eclass`: one per node of the bound shape.
  std::size_t count_single_bind(ClassId eclass) const {
    std::size_t count = 0;
    for (const ENode& node : egraph_.get_class(eclass).nodes)
      count += node.op() == single_bind_->op && node.arity() == single_bind_->arity;
    return count;
  }

 private:
  // Registers are 0 (the class) and out, out + 1, ... (the node's children).
  void run_single_bind(ClassId eclass) {
    const Bind& bind = *single_bind_;
    for (const ENode& node : egraph_.get_class(eclass).nodes) {
      if (node.op() != bind.op || node.arity() != bind.arity) continue;
      const auto children = node.children();
      Substitution subst;
      for (const VarRegister& bound : program_.subst) {
        subst.push_back({bound.var, bound.reg == 0 ? eclass : children[bound.reg - bind.out]});
      }
      out_->push_back(std::move(subst));
      if (--remaining_ == 0) return;
    }
  }

  void step(std::size_t pc) {
    if (pc == program_.instructions.size()) {
      record();
      return;
    }
    std::visit([&](const auto& instruction) { execute(instruction, pc + 1); },
               program_.instructions[pc]);
  }

  void execute(const Bind& bind, std::size_t next) {
    const EClass& eclass = egraph_.get_class(registers_[bind.i]);
    for (const ENode& node : eclass.nodes) {
      if (node.op() != bind.op || node.arity() != bind.arity) continue;
      registers_.resize(bind.out);
      registers_.insert(registers_.end(), node.children().begin(), node.children().end());
      step(next);
      if (done_) return;
    }
  }

  void execute(const Compare& compare, std::size_t next) {
    if (egraph_.find(registers_[compare.i]) != egraph_.find(registers_[compare.j])) return;
    step(next);
  }

  void execute(const Lookup& lookup, std::size_t next) {
    ids_.clear();
    for (const LookupEntry& entry : lookup.term) {
      if (const auto* reg = std::get_if<TermRegister>(&entry)) {
        ids_.push_back(egraph_.find(registers_[reg->reg]));
        continue;
      }
      ENode node = std::get<ENode>(entry);
      for (ClassId& child : node.children())
        child = ids_[child];
      const std::optional<ClassId> found = egraph_.lookup(node);
      if (!found) return;
      ids_.push_back(*found);
    }
    if (ids_.empty() || ids_.back() != egraph_.find(registers_[lookup.i])) return;
    step(next);
  }

  void record() {
    Substitution subst;
    for (const VarRegister& bound : program_.subst)
      subst.push_back({bound.var, registers_[bound.reg]});
    out_->push_back(std::move(subst));
    if (--remaining_ == 0) done_ = true;
  }

  const Program& program_;
  const EGraph& egraph_;
  std::size_t remaining_ = 0;
  SubstitutionList* out_ = nullptr;
  std::vector<ClassId> registers_;
  std::vector<ClassId> ids_;
  bool done_ = false;
  const Bind* single_bind_;
};

}  // namespace

std::optional<ClassId> Substitution::get(Symbol var) const {
  for (const VarBinding& binding : bindings_) {
    if (binding.var == var) return binding.id;
  }
  return std::nullopt;
}

SubstitutionList search_class(const Program& program, const EGraph& egraph, ClassId eclass,
                              std::size_t limit) {
  if (!egraph.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  SubstitutionList substs;
  if (limit == 0) return substs;
  Machine(program, egraph).run(eclass, limit, substs);
  return substs;
}

namespace {

std::span<const ClassId> candidates_of(const Pattern& pattern, const EGraph& egraph) {
  const auto* root = std::get_if<ENode>(&pattern.tree.back());
  return root != nullptr ? egraph.classes_with_op(root->op()) : egraph.classes_with_nodes();
}

}  // namespace

std::vector<SearchMatch> search_with_limit(const Pattern& pattern, const EGraph& egraph,
                                           std::size_t limit) {
  if (!egraph.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  std::vector<SearchMatch> matches;
  if (pattern.tree.empty()) return matches;
  const std::span<const ClassId> candidates = candidates_of(pattern, egraph);
  Machine machine(pattern.program, egraph);
  // Every match takes one candidate class, so this bound spares the regrowth moves.
  matches.reserve(std::min(candidates.size(), limit));
  SubstitutionList substs;
  std::size_t remaining = limit;
  for (const ClassId eclass : candidates) {
    if (remaining == 0) break;
    machine.run(eclass, remaining, substs);
    if (substs.empty()) continue;
    if (substs.size() > remaining) throw InternalError("assertion failed: len <= limit");
    remaining -= substs.size();
    matches.push_back({eclass, std::move(substs)});
    substs.clear();
  }
  return matches;
}

std::optional<std::size_t> count_with_limit(const Pattern& pattern, const EGraph& egraph,
                                            std::size_t limit) {
  if (!egraph.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  if (pattern.tree.empty()) return 0;
  const Machine machine(pattern.program, egraph);
  if (!machine.is_single_bind()) return std::nullopt;
  std::size_t total = 0;
  for (const ClassId eclass : candidates_of(pattern, egraph)) {
    if (total >= limit) break;
    total += machine.count_single_bind(eclass);
  }
  return std::min(total, limit);
}

}  // namespace zembric::egraph
