// Pattern: a pattern tree together with its compiled matching program.
#pragma once

#include <utility>

#include "egraph/pattern_tree.h"
#include "egraph/program.h"

namespace zembric::egraph {

struct Pattern {
  explicit Pattern(PatternTree pattern_tree)
      : tree(std::move(pattern_tree)), program(compile_pattern(tree)) {}

  PatternTree tree;
  Program program;
};

}  // namespace zembric::egraph
