// Program: a pattern compiled into matching instructions over a vector of class-id registers.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "egraph/enode.h"
#include "egraph/pattern_tree.h"
#include "egraph/symbol.h"

namespace zembric::egraph {

using Register = std::uint32_t;

// For each node of the class in `i` with operator `op` and `arity` children, load the children
// into registers out, out + 1, ... and continue.
struct Bind {
  Register i;
  Symbol op;
  std::uint32_t arity;
  Register out;
  friend bool operator==(const Bind&, const Bind&) = default;
};

// Continue only if registers i and j hold ids of one class.
struct Compare {
  Register i;
  Register j;
  friend bool operator==(const Compare&, const Compare&) = default;
};

// An entry of a Lookup term: a register, or an operator over earlier entries of the term.
struct TermRegister {
  Register reg;
  friend bool operator==(const TermRegister&, const TermRegister&) = default;
};
using LookupEntry = std::variant<TermRegister, ENode>;

// Continue only if the ground term exists in the e-graph and lies in the class of register i.
struct Lookup {
  std::vector<LookupEntry> term;
  Register i;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

using Instruction = std::variant<Bind, Compare, Lookup>;

struct VarRegister {
  Symbol var;
  Register reg;
  friend bool operator==(const VarRegister&, const VarRegister&) = default;
};

struct Program {
  std::vector<Instruction> instructions;
  // Variables in the order they were first bound, with their registers.
  std::vector<VarRegister> subst;
};

// Register 0 holds the class being searched. Never fails.
Program compile_pattern(const PatternTree& tree);

}  // namespace zembric::egraph
