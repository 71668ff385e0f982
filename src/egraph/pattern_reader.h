// Reads pattern text in s-expression form, e.g. "(op|add ?a ?b)", into a PatternTree.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "egraph/pattern_tree.h"
#include "support/expected.h"

namespace zembric::egraph {

struct PatternParseError {
  enum class Kind {
    EmptySexp,  // "" or "()"
    HeadList,   // a list whose head is itself a list
    BadOp,      // the head cannot be an operator; `op_error` says why
    BadSexp,    // the text is not one well-formed expression; `message` says why
  };
  enum class OpError { UnexpectedVar };

  Kind kind;
  OpError op_error = OpError::UnexpectedVar;
  // BadOp: the offending head. BadSexp: "End of file reached", "Unexpected )" or
  // "expected {} got {}".
  std::string message;
  // 1-based position of a BadSexp error.
  std::size_t line = 0;
  std::size_t column = 0;

  std::string to_string() const;
};

Expected<PatternTree, PatternParseError> parse_pattern(std::string_view text);

}  // namespace zembric::egraph
