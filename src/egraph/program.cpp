#include "egraph/program.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>

namespace zembric::egraph {
namespace {

class Compiler {
 public:
  explicit Compiler(const PatternTree& tree) : tree_(tree) {
    free_vars_.resize(tree.size());
    subtree_size_.resize(tree.size(), 0);
    for (std::size_t e = 0; e < tree.size(); ++e) {
      if (const auto* var = std::get_if<PatternVar>(&tree[e])) {
        free_vars_[e] = {var->name};
        continue;
      }
      const ENode& node = std::get<ENode>(tree[e]);
      std::size_t size = 1;
      for (const ClassId child : node.children()) {
        size += subtree_size_[child];
        for (const Symbol var : free_vars_[child]) {
          if (std::ranges::find(free_vars_[e], var) == free_vars_[e].end()) {
            free_vars_[e].push_back(var);
          }
        }
      }
      subtree_size_[e] = size;
    }
  }

  Program compile() {
    if (tree_.empty()) return {};
    place(tree_.size() - 1, 0);
    while (!pending_.empty()) {
      auto best = std::ranges::max_element(
          pending_, [&](const auto& a, const auto& b) { return key(a.first) < key(b.first); });
      const auto [entry, reg] = *best;
      pending_.erase(best);
      const ENode& node = std::get<ENode>(tree_[entry]);
      if (unbound_count(entry) == 0 && node.arity() > 0) {
        Lookup lookup{{}, reg};
        append_term(entry, lookup.term);
        program_.instructions.emplace_back(std::move(lookup));
        continue;
      }
      const Register out = next_register_;
      next_register_ += node.arity();
      program_.instructions.emplace_back(Bind{reg, node.op(), node.arity(), out});
      for (std::uint32_t k = 0; k < node.arity(); ++k)
        place(node.children()[k], out + k);
    }
    return std::move(program_);
  }

 private:
  std::optional<Register> register_of(Symbol var) const {
    for (const VarRegister& bound : program_.subst) {
      if (bound.var == var) return bound.reg;
    }
    return std::nullopt;
  }

  std::size_t unbound_count(std::size_t entry) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        free_vars_[entry], [&](Symbol var) { return !register_of(var).has_value(); }));
  }

  // Fully bound entries first (they become cheap lookups), then those binding the most new
  // variables, then the smallest.
  std::tuple<bool, std::size_t, std::ptrdiff_t> key(std::size_t entry) const {
    const std::size_t unbound = unbound_count(entry);
    return {unbound == 0, unbound, -static_cast<std::ptrdiff_t>(subtree_size_[entry])};
  }

  void place(std::size_t entry, Register reg) {
    if (const auto* var = std::get_if<PatternVar>(&tree_[entry])) {
      if (const auto bound = register_of(var->name)) {
        program_.instructions.emplace_back(Compare{reg, *bound});
      } else {
        program_.subst.push_back({var->name, reg});
      }
      return;
    }
    pending_.emplace_back(entry, reg);
  }

  // Appends the subtree at `entry` in post-order, variables replaced by their registers; returns
  // the index of the appended root.
  std::uint32_t append_term(std::size_t entry, std::vector<LookupEntry>& term) const {
    if (const auto* var = std::get_if<PatternVar>(&tree_[entry])) {
      term.emplace_back(TermRegister{*register_of(var->name)});
    } else {
      const ENode& node = std::get<ENode>(tree_[entry]);
      std::vector<ClassId> children;
      children.reserve(node.arity());
      for (const ClassId child : node.children())
        children.push_back(append_term(child, term));
      term.emplace_back(ENode(node.op(), children));
    }
    return static_cast<std::uint32_t>(term.size() - 1);
  }

  const PatternTree& tree_;
  std::vector<std::vector<Symbol>> free_vars_;
  std::vector<std::size_t> subtree_size_;
  std::vector<std::pair<std::size_t, Register>> pending_;
  Register next_register_ = 1;
  Program program_;
};

}  // namespace

Program compile_pattern(const PatternTree& tree) {
  return Compiler(tree).compile();
}

}  // namespace zembric::egraph
