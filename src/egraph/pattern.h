// Pattern: a pattern tree together with its compiled matching program.
#pragma once

#include <utility>

#include "egraph/pattern_tree.h"
#include "egraph/program.h"

namespace zembric::egraph {

struct Pattern {
  explicit Pattern(PatternTree pattern_tree)
      : tree(std::move(pattern_tree)), program(compile_pattern(tree)) {}
  // `compiled` must be what compile_pattern gives for the tree.
  Pattern(PatternTree pattern_tree, Program compiled)
      : tree(std::move(pattern_tree)), program(std::move(compiled)) {}

  PatternTree tree;
  Program program;
};

}  // namespace zembric::egraph
